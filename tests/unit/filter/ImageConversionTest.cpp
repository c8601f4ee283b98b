// Image conversion, every threshold-and-pack path and vellumar's page steps: known vectors, and
// bit-for-bit agreement with the plain reference implementations on random and extreme pages.
#include "bench/filter/ReferenceConversion.h"
#include "filter/ImageConversion.h"
#include "filter/PrinterCommands.h"
#include "filter/ThresholdPacking.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using filter::ConversionWorkspace;
using filter::FilterVariant;
using filtertest::Bytes;
using filtertest::concat;
using reference::Method;

Bytes randomPage(std::mt19937& rng, int width, int height, int low = 0, int high = 255)
{
    std::uniform_int_distribution<int> value(low, high);
    Bytes page(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (auto& sample : page)
        sample = static_cast<std::uint8_t>(value(rng));
    return page;
}

const struct MethodCase {
    int printMode;
    FilterVariant variant;
    Method method;
} kMethods[] = {
    {3, FilterVariant::Vellumar, Method::FloydSteinberg}, {1, FilterVariant::Vellumar, Method::FloydSteinberg},
    {2, FilterVariant::Tessoral, Method::FloydSteinberg}, {3, FilterVariant::Tessoral, Method::Sierra3},
    {0, FilterVariant::Vellumar, Method::Threshold},      {4, FilterVariant::Tessoral, Method::Threshold},
    {-1, FilterVariant::Vellumar, Method::Threshold},
};

// Converts and packs `page` with one workspace for the whole test, so stale state would show.
Bytes packed(const Bytes& page, int width, int height, const MethodCase& m)
{
    static ConversionWorkspace workspace;
    std::size_t length = 0;
    filtertest::capture([&](FILE*, FILE* log) {
        length = filter::processRasterDataWithDithering(log, page.data(), width, height, m.printMode, m.variant,
                                                        workspace);
    });
    return Bytes(workspace.packed.begin(), workspace.packed.begin() + static_cast<std::ptrdiff_t>(length));
}

std::string describe(const MethodCase& m, int width, int height)
{
    return "print mode " + std::to_string(m.printMode) + (m.variant == FilterVariant::Tessoral ? " tessoral " : " ") +
           std::to_string(width) + "x" + std::to_string(height);
}

TEST(ResizeImage, KnownVectorRefusalsAndThePerPixelFormulaBitForBit)
{
    const Bytes corners{0, 255, 255, 0};
    Bytes dst;
    ASSERT_TRUE(filter::resizeImage(corners.data(), 2, 2, dst, 4, 4));
    // The last source column and row repeat.
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + 4), (Bytes{0, 127, 255, 255}));
    EXPECT_EQ((Bytes{dst[0], dst[4], dst[8], dst[12]}), (Bytes{0, 127, 255, 255}));
    for (const auto& [sw, sh, dw, dh] : {std::tuple{2, 2, 0, 4}, std::tuple{2, 2, 4, -1}, std::tuple{0, 2, 4, 4}}) {
        Bytes untouched{9};
        EXPECT_FALSE(filter::resizeImage(corners.data(), sw, sh, untouched, dw, dh));
        EXPECT_EQ(untouched, Bytes{9});
    }
    std::mt19937 rng(7);
    const int sizes[][4] = {{576, 800, 384, 533}, {11, 197, 11, 196}, {1638, 40, 384, 9},  {3, 5, 17, 2},
                            {1, 1, 7, 3},         {100, 1, 37, 1},    {37, 61, 100, 150}, {5, 5, 1, 1}};
    filter::ResizeScratch scratch;  // reused on purpose: stale rows must not leak into the next page
    for (const auto& s : sizes) {
        const Bytes src = randomPage(rng, s[0], s[1]);
        ASSERT_TRUE(filter::resizeImage(src.data(), s[0], s[1], dst, s[2], s[3], scratch));
        EXPECT_EQ(dst, reference::resizeImage(src.data(), s[0], s[1], s[2], s[3])) << s[0] << "x" << s[1];
    }
}

// Small random pages at every width of a partial byte, then pages that drive the error to its
// extremes (saturated stripes, checkerboards straddling the threshold) at the filters' sizes.
TEST(Conversion, PackedRowsEqualTheReferenceOnRandomAndExtremePages)
{
    std::mt19937 rng(2024);
    auto check = [&](const Bytes& page, int width, int height) {
        for (const MethodCase& m : kMethods)
            ASSERT_EQ(packed(page, width, height, m), reference::convertAndPack(m.method, page.data(), width, height))
                << describe(m, width, height);
    };
    for (int width = 1; width <= 17; ++width)
        for (int height = 1; height <= 5; ++height)
            for (const auto& [low, high] : {std::pair{0, 255}, std::pair{120, 135}, std::pair{126, 129}})
                check(randomPage(rng, width, height, low, high), width, height);
    for (const auto& [width, height] : {std::pair{384, 533}, std::pair{1638, 61}, std::pair{257, 33}}) {
        Bytes stripes(width * height), checker(width * height), edges(width * height);
        for (int i = 0; i < width * height; ++i) {
            stripes[i] = (i % width % 2 == 0) ? 0 : 255;
            checker[i] = ((i % width + i / width) % 2 == 0) ? 127 : 128;
            edges[i] = (i % width < width / 2) ? 1 : 254;
        }
        for (const Bytes& page :
             {randomPage(rng, width, height), randomPage(rng, width, height, 127, 128), stripes, checker, edges})
            check(page, width, height);
    }
    check(randomPage(rng, 13, 9, 100, 150), 13, 9);  // after the widest page
    EXPECT_TRUE(packed(Bytes(64, 200), 0, 7, kMethods[0]).empty());
    // Known vectors: 127 black, 128 white; uniform 128 prints nothing under the threshold.
    EXPECT_EQ(packed({127, 128, 128, 128, 128, 128, 128, 128, 128}, 9, 1, kMethods[4]), (Bytes{0x80, 0x00}));
    EXPECT_EQ(packed(Bytes(64, 128), 16, 4, kMethods[4]), Bytes(8, 0x00));
}

TEST(Conversion, UnpackedEntriesEqualTheReferenceAndThresholdReadsTheMeanOfFourChannels)
{
    std::mt19937 rng(5);
    const Bytes page = randomPage(rng, 23, 7);
    const filter::Image image{page.data(), 23, 7, 1};
    Bytes result;
    filter::applyFloydSteinbergDithering(image, result, FilterVariant::Tessoral);
    EXPECT_EQ(result, reference::convert(Method::Sierra3, page.data(), 23, 7));
    filter::applyFloydSteinbergDithering(image, result, FilterVariant::Vellumar);
    EXPECT_EQ(result, reference::convert(Method::FloydSteinberg, page.data(), 23, 7));
    filter::applyClassicFloydSteinbergDithering(image, result);
    EXPECT_EQ(result, reference::convert(Method::FloydSteinberg, page.data(), 23, 7));
    filter::applyBinaryThreshold(image, result);
    EXPECT_EQ(result, reference::convert(Method::Threshold, page.data(), 23, 7));
    // Uniform 128: the first pixel turns white, leaving -127; 7/16 of it makes the second 73, black.
    filter::applyClassicFloydSteinbergDithering({Bytes(64, 128).data(), 16, 4, 1}, result);
    EXPECT_EQ(Bytes(result.begin(), result.begin() + 2), (Bytes{255, 0}));
    // Pixel 0: (100 + 200 + 84) / 3 = 128, white; pixel 1: (127 + 127 + 129) / 3 = 127, black.
    const Bytes rgba{100, 200, 84, 0, 127, 127, 129, 255}, rgb{127, 255, 255, 128, 0, 0};
    filter::applyBinaryThreshold({rgba.data(), 2, 1, 4}, result);
    EXPECT_EQ(result, (Bytes{255, 0}));
    filter::applyBinaryThreshold({rgb.data(), 2, 1, 3}, result);
    EXPECT_EQ(result, (Bytes{0, 255}));
}

filtertest::Captured processImage(const Bytes& page, int width, int height, int targetWidth, int targetHeight,
                                  int printMode)
{
    ConversionWorkspace workspace;
    return filtertest::capture([&](FILE* out, FILE* log) {
        filter::processImage(out, log, page.data(), width, height, targetWidth, targetHeight, printMode, workspace);
    });
}

TEST(ProcessImage, ScalesConvertsAndWritesHeaderAndRowsInOneBuffer)
{
    std::mt19937 rng(1);
    const Bytes page = randomPage(rng, 576, 800);
    const auto c = processImage(page, 576, 800, 384, 533, 3);
    const Bytes scaled = reference::resizeImage(page.data(), 576, 800, 384, 533);
    EXPECT_EQ(c.out, concat({filter::createPrintHeader(384, 533),
                             reference::convertAndPack(Method::FloydSteinberg, scaled.data(), 384, 533)}));
    EXPECT_EQ(c.log.find("Skipping resize"), std::string::npos);
    // The dump shows the first 100 bytes of the buffer, each as "XX ".
    const std::string dump = "] Success write image buffer: ";
    const std::size_t at = c.log.find(dump + "1D 76 30 00 30 00 15 02 ");
    ASSERT_NE(at, std::string::npos) << c.log;
    EXPECT_EQ(c.log.find('\n', at) - at, dump.size() + 300);

    const auto same = processImage({0, 255, 127, 128, 200, 10, 255, 0, 1}, 9, 1, 9, 1, 0);
    EXPECT_EQ(same.out, (Bytes{0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x01, 0x00, 0xA5, 0x80}));
    EXPECT_NE(same.log.find("] Skipping resize as input and output dimensions are the same.\n"), std::string::npos);
    const auto none = processImage(Bytes(1000, 0), 1000, 1, 384, 0, 3);  // 1000 x 1 scales to 384 x 0
    EXPECT_TRUE(none.out.empty());
    EXPECT_NE(none.log.find("] Error: Failed to resize image\n"), std::string::npos);
}

TEST(ProcessImageInBlocks, ConvertsBlocksOf1000RowsOnTheirOwn)
{
    std::mt19937 rng(3);
    const int width = 21;
    const Bytes page = randomPage(rng, width, 2500);
    ConversionWorkspace workspace;
    const auto c = filtertest::capture([&](FILE* out, FILE* log) {
        filter::processImageInBlocks(out, log, page.data(), width, 2500, 1, workspace);
    });
    auto floydSteinberg = [&](int first, int rows) {
        return reference::convertAndPack(Method::FloydSteinberg, page.data() + first * width, width, rows);
    };
    const Bytes header = filter::createPrintHeader(width, 2500);
    EXPECT_EQ(c.out, concat({header, floydSteinberg(0, 1000), floydSteinberg(1000, 1000), floydSteinberg(2000, 500)}));
    // Diffusion does not cross block borders, so the whole page converts differently.
    EXPECT_NE(c.out, concat({header, floydSteinberg(0, 2500)}));
    auto count = [&](const std::string& what) {
        int n = 0;
        for (std::size_t at = c.log.find(what); at != std::string::npos; at = c.log.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("] Processing image in 3 blocks of height 1000\n"), 1);
    EXPECT_EQ(count("] processRasterDataWithDithering start\n["), 3);
    EXPECT_EQ(count("] processRasterDataWithDithering end, elapsed time: 0.0"), 3);
}

class ThresholdPacking : public testing::TestWithParam<filter::PackingPath> {};
const char* const kPathNames[] = {"Portable", "Sse2", "Avx2"};

// Widths around every step size (8, 16, 32, 64) and the filters' page widths; values at the
// threshold and across the whole range. The output is poisoned first, so that a byte the path
// forgets to write, or an unused low bit it leaves set, shows.
TEST_P(ThresholdPacking, EqualsTheReferenceAtEveryWidth)
{
    if (!filter::packingPathAvailable(GetParam()))
        GTEST_SKIP() << "this processor or build lacks the path";
    std::mt19937 rng(17);
    std::vector<int> widths{384, 1638};
    for (int width = 1; width <= 257; ++width)
        widths.push_back(width);
    for (const int width : widths)
        for (const auto& [low, high] : {std::pair{0, 255}, std::pair{127, 128}}) {
            const Bytes page = randomPage(rng, width, 3, low, high);
            Bytes packed((static_cast<std::size_t>(width) + 7) / 8 * 3, 0xA5);
            filter::thresholdAndPack(GetParam(), page.data(), static_cast<std::size_t>(width), 3, packed.data());
            ASSERT_EQ(packed, reference::convertAndPack(Method::Threshold, page.data(), width, 3))
                << "width " << width << " values " << low << ".." << high;
        }
}

INSTANTIATE_TEST_SUITE_P(Paths, ThresholdPacking,
                         testing::Values(filter::PackingPath::Portable, filter::PackingPath::Sse2,
                                         filter::PackingPath::Avx2),
                         [](const auto& info) { return std::string(kPathNames[static_cast<int>(info.param)]); });

}  // namespace
