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

class ThresholdPacking : public testing::TestWithParam<PackingPath> {};

// Widths around every step size (8, 16, 32, 64) and the filters' page widths; values at the
// threshold and across the whole range. The output is poisoned first, so that a byte the path
// forgets to write, or an unused low bit it leaves set, shows.
TEST_P(ThresholdPacking, EqualsTheReferenceAtEveryWidth)
{
    if (!filter::packingPathAvailable(GetParam()))
        GTEST_SKIP() << "this processor or build lacks the path";
    std::mt19937 rng(17);
    std::vector<int> widths;
    for (int width = 1; width <= 200; ++width)
        widths.push_back(width);
    widths.insert(widths.end(), {255, 256, 257, 384, 1638});
    for (const int width : widths) {
        for (const auto& [low, high] : {std::pair{0, 255}, std::pair{127, 128}}) {
            const std::size_t height = 3;
            std::uniform_int_distribution<int> value(low, high);
            Samples page(static_cast<std::size_t>(width) * height);
            for (auto& sample : page)
                sample = static_cast<std::uint8_t>(value(rng));
            Samples packed((static_cast<std::size_t>(width) + 7) / 8 * height, 0xA5);
            filter::thresholdAndPack(GetParam(), page.data(), static_cast<std::size_t>(width), height, packed.data());
            ASSERT_EQ(packed, reference::convertAndPack(reference::Method::Threshold, page.data(), width, 3))
                << "width " << width << " values " << low << ".." << high;
        }
    }
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
