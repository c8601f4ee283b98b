// Every path of the fused threshold-and-pack this machine can run, against the plain reference.
#include "bench/filter/ReferenceConversion.h"
#include "filter/ThresholdPacking.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using filter::PackingPath;
using Samples = std::vector<std::uint8_t>;

class ThresholdPacking : public testing::TestWithParam<PackingPath> {
protected:
    void SetUp() override
    {
        if (!filter::packingPathAvailable(GetParam()))
            GTEST_SKIP() << "this processor or build lacks the path";
    }

    Samples pack(const Samples& page, int width, int height) const
    {
        // Poisoned, so that a byte the path forgets to write shows.
        Samples packed((static_cast<std::size_t>(width) + 7) / 8 * static_cast<std::size_t>(height), 0xA5);
        filter::thresholdAndPack(GetParam(), page.data(), static_cast<std::size_t>(width),
                                 static_cast<std::size_t>(height), packed.data());
        return packed;
    }
};

// Widths around every step size (8, 16, 32, 64) and the filters' page widths; values at the
// threshold and across the whole range.
TEST_P(ThresholdPacking, EqualsTheReferenceAtEveryWidth)
{
    std::mt19937 rng(17);
    std::vector<int> widths;
    for (int width = 1; width <= 200; ++width)
        widths.push_back(width);
    widths.insert(widths.end(), {255, 256, 257, 384, 1638});
    for (const int width : widths) {
        for (const auto& [low, high] : {std::pair{0, 255}, std::pair{127, 128}}) {
            const int height = 3;
            std::uniform_int_distribution<int> value(low, high);
            Samples page(static_cast<std::size_t>(width) * height);
            for (auto& sample : page)
                sample = static_cast<std::uint8_t>(value(rng));
            ASSERT_EQ(pack(page, width, height),
                      reference::convertAndPack(reference::Method::Threshold, page.data(), width, height))
                << "width " << width << " values " << low << ".." << high;
        }
    }
}

TEST_P(ThresholdPacking, FirstPixelIsTheTopBitAndUnusedBitsStayClear)
{
    const int width = 70;  // one wide step, then six samples in a partial byte
    Samples page(width, 255);
    page[0] = 127;
    page[69] = 0;
    Samples expected(9, 0);
    expected[0] = 0x80;
    expected[8] = 0x04;  // pixel 69 is bit 5 of byte 8
    EXPECT_EQ(pack(page, width, 1), expected);
    EXPECT_EQ(pack(Samples(width, 0), width, 1), Samples({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
}

std::string pathName(const testing::TestParamInfo<PackingPath>& info)
{
    switch (info.param) {
    case PackingPath::Portable: return "Portable";
    case PackingPath::Sse2: return "Sse2";
    case PackingPath::Avx2: return "Avx2";
    }
    return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Paths, ThresholdPacking,
                         testing::Values(PackingPath::Portable, PackingPath::Sse2, PackingPath::Avx2), pathName);

}  // namespace
