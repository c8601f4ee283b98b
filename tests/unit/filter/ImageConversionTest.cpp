// Image conversion: known vectors, and bit-for-bit agreement with the plain reference
// implementations on random and extreme pages.
#include "bench/filter/ReferenceConversion.h"
#include "filter/ImageConversion.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using filter::ConversionWorkspace;
using filter::FilterVariant;
using Samples = std::vector<std::uint8_t>;

Samples randomPage(std::mt19937& rng, int width, int height, int low = 0, int high = 255)
{
    std::uniform_int_distribution<int> value(low, high);
    Samples page(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (auto& sample : page)
        sample = static_cast<std::uint8_t>(value(rng));
    return page;
}

struct MethodCase {
    int printMode;
    FilterVariant variant;
    reference::Method method;
};

const MethodCase kMethods[] = {
    {3, FilterVariant::Vellumar, reference::Method::FloydSteinberg},
    {1, FilterVariant::Vellumar, reference::Method::FloydSteinberg},
    {2, FilterVariant::Tessoral, reference::Method::FloydSteinberg},
    {3, FilterVariant::Tessoral, reference::Method::Sierra3},
    {0, FilterVariant::Vellumar, reference::Method::Threshold},
    {4, FilterVariant::Tessoral, reference::Method::Threshold},
    {-1, FilterVariant::Vellumar, reference::Method::Threshold},
};

// Converts and packs `page`; the log is checked, when `log` is given.
Samples packed(const Samples& page, int width, int height, const MethodCase& m, ConversionWorkspace& workspace,
               std::string* log = nullptr)
{
    std::size_t length = 0;
    const std::string text = filtertest::capture([&](FILE*, FILE* file) {
        length = filter::processRasterDataWithDithering(file, page.data(), width, height, m.printMode, m.variant,
                                                        workspace);
    }).log;
    if (log != nullptr)
        *log = text;
    return Samples(workspace.packed.begin(), workspace.packed.begin() + static_cast<std::ptrdiff_t>(length));
}

std::string describe(const MethodCase& m, int width, int height)
{
    return "print mode " + std::to_string(m.printMode) +
           (m.variant == FilterVariant::Tessoral ? " tessoral " : " vellumar ") + std::to_string(width) + "x" +
           std::to_string(height);
}

TEST(ResizeImage, KnownVectorRefusalsAndThePerPixelFormulaBitForBit)
{
    const Samples corners{0, 255, 255, 0};
    Samples dst;
    ASSERT_TRUE(filter::resizeImage(corners.data(), 2, 2, dst, 4, 4));
    // The last source column and row repeat.
    EXPECT_EQ(Samples(dst.begin(), dst.begin() + 4), (Samples{0, 127, 255, 255}));
    EXPECT_EQ((Samples{dst[0], dst[4], dst[8], dst[12]}), (Samples{0, 127, 255, 255}));
    for (const auto& [sw, sh, dw, dh] : {std::tuple{2, 2, 0, 4}, std::tuple{2, 2, 4, -1}, std::tuple{0, 2, 4, 4}}) {
        Samples untouched{9};
        EXPECT_FALSE(filter::resizeImage(corners.data(), sw, sh, untouched, dw, dh));
        EXPECT_EQ(untouched, Samples{9});
    }

    std::mt19937 rng(7);
    const int sizes[][4] = {{576, 800, 384, 533}, {11, 197, 11, 196}, {1638, 40, 384, 9},  {3, 5, 17, 2},
                            {1, 1, 7, 3},         {100, 1, 37, 1},    {37, 61, 100, 150}, {5, 5, 1, 1}};
    filter::ResizeScratch scratch;  // reused on purpose: stale rows must not leak into the next page
    for (const auto& s : sizes) {
        const Samples src = randomPage(rng, s[0], s[1]);
        ASSERT_TRUE(filter::resizeImage(src.data(), s[0], s[1], dst, s[2], s[3], scratch));
        EXPECT_EQ(dst, reference::resizeImage(src.data(), s[0], s[1], s[2], s[3]))
            << s[0] << "x" << s[1] << " -> " << s[2] << "x" << s[3];
    }
}

TEST(Conversion, ThresholdAt128AndUniformPagesPackToFullBytesWithTheUnusedLowBitsClear)
{
    ConversionWorkspace workspace;
    for (const MethodCase& m : kMethods) {
        for (int width = 1; width <= 17; ++width) {
            const int height = 3;
            SCOPED_TRACE(describe(m, width, height));
            const std::size_t rowBytes = filter::packedRowBytes(width);
            Samples black(rowBytes * height, 0xFF);
            for (int y = 0; y < height; ++y)
                black[rowBytes * y + rowBytes - 1] = static_cast<std::uint8_t>(0xFF00 >> ((width - 1) % 8 + 1));
            EXPECT_EQ(packed(Samples(width * height, 0), width, height, m, workspace), black);
            Samples page(width * height, 255);
            EXPECT_EQ(packed(page, width, height, m, workspace), Samples(rowBytes * height, 0));
            page[0] = 127;  // the first pixel is black at 127, white at 128
            EXPECT_EQ(packed(page, width, height, m, workspace)[0], 0x80);
            page[0] = 128;
            EXPECT_EQ(packed(page, width, height, m, workspace)[0] & 0x80, 0);
        }
    }
}

TEST(Conversion, UniformGrey128DithersButPrintsNothingUnderThreshold)
{
    const int width = 16, height = 4;
    const Samples grey(width * height, 128);
    Samples dithered;
    filter::applyClassicFloydSteinbergDithering({grey.data(), width, height, 1}, dithered);
    // The first pixel turns white, leaving -127: 7/16 of it (-55) makes the second 73, black.
    EXPECT_EQ(dithered[0], 255);
    EXPECT_EQ(dithered[1], 0);
    ConversionWorkspace workspace;
    EXPECT_EQ(packed(grey, width, height, kMethods[4], workspace), Samples(2 * height, 0x00));
}

TEST(Conversion, UnpackedOutputsEqualTheReference)
{
    std::mt19937 rng(5);
    const int width = 23, height = 7;
    const Samples page = randomPage(rng, width, height);
    const filter::Image image{page.data(), width, height, 1};
    Samples result;
    filter::applyFloydSteinbergDithering(image, result, FilterVariant::Tessoral);
    EXPECT_EQ(result, reference::convert(reference::Method::Sierra3, page.data(), width, height));
    filter::applyFloydSteinbergDithering(image, result, FilterVariant::Vellumar);
    EXPECT_EQ(result, reference::convert(reference::Method::FloydSteinberg, page.data(), width, height));
    filter::applyClassicFloydSteinbergDithering(image, result);
    EXPECT_EQ(result, reference::convert(reference::Method::FloydSteinberg, page.data(), width, height));
    filter::applyBinaryThreshold(image, result);
    EXPECT_EQ(result, reference::convert(reference::Method::Threshold, page.data(), width, height));
}

TEST(Conversion, PackedRowsEqualTheReferenceOnSmallRandomPages)
{
    std::mt19937 rng(2024);
    ConversionWorkspace workspace;
    for (const MethodCase& m : kMethods)
        for (int width = 1; width <= 17; ++width)
            for (int height = 1; height <= 5; ++height)
                for (const auto& [low, high] : {std::pair{0, 255}, std::pair{120, 135}, std::pair{126, 129}}) {
                    const Samples page = randomPage(rng, width, height, low, high);
                    ASSERT_EQ(packed(page, width, height, m, workspace),
                              reference::convertAndPack(m.method, page.data(), width, height))
                        << describe(m, width, height) << " values " << low << ".." << high;
                }
}

// Pages that drive the error to its extremes: saturated stripes and checkerboards, and
// values straddling the threshold; large sizes as the filters meet them.
TEST(Conversion, PackedRowsEqualTheReferenceOnExtremeAndFullSizePages)
{
    std::mt19937 rng(99);
    ConversionWorkspace workspace;
    for (const auto& [width, height] : {std::pair{384, 533}, std::pair{1638, 61}, std::pair{257, 33}}) {
        std::vector<Samples> pages{randomPage(rng, width, height), randomPage(rng, width, height, 127, 128)};
        Samples stripes(width * height), checker(width * height), edges(width * height);
        for (int i = 0; i < width * height; ++i) {
            const int x = i % width, y = i / width;
            stripes[i] = (x % 2 == 0) ? 0 : 255;
            checker[i] = ((x + y) % 2 == 0) ? 127 : 128;
            edges[i] = (x < width / 2) ? 1 : 254;
        }
        pages.insert(pages.end(), {stripes, checker, edges});
        for (const Samples& page : pages)
            for (const MethodCase& m : kMethods)
                ASSERT_EQ(packed(page, width, height, m, workspace),
                          reference::convertAndPack(m.method, page.data(), width, height))
                    << describe(m, width, height);
    }
}

TEST(Conversion, ThresholdReadsTheMeanOfFourChannelPixelsAndTheFirstByteOtherwise)
{
    // Pixel 0: (100 + 200 + 84) / 3 = 128, white; pixel 1: (127 + 127 + 129) / 3 = 127, black.
    const Samples rgba{100, 200, 84, 0, 127, 127, 129, 255};
    Samples result;
    filter::applyBinaryThreshold({rgba.data(), 2, 1, 4}, result);
    EXPECT_EQ(result, (Samples{255, 0}));
    const Samples rgb{127, 255, 255, 128, 0, 0};
    filter::applyBinaryThreshold({rgb.data(), 2, 1, 3}, result);
    EXPECT_EQ(result, (Samples{0, 255}));
}

TEST(Conversion, AReusedWorkspaceGivesTheSameRowsAsAFreshOneAndTheRunIsLogged)
{
    std::mt19937 rng(11);
    ConversionWorkspace reused;
    const Samples wide = randomPage(rng, 200, 30), narrow = randomPage(rng, 13, 9, 100, 150);
    for (const MethodCase& m : kMethods) {
        packed(wide, 200, 30, m, reused);
        ConversionWorkspace fresh;
        EXPECT_EQ(packed(narrow, 13, 9, m, reused), packed(narrow, 13, 9, m, fresh)) << describe(m, 13, 9);
    }
    std::string log;
    EXPECT_EQ(packed(Samples(64, 200), 9, 7, kMethods[0], reused, &log).size(), 14u);
    EXPECT_NE(log.find("] processRasterDataWithDithering start\n["), std::string::npos) << log;
    EXPECT_NE(log.find("] processRasterDataWithDithering end, elapsed time: 0.0"), std::string::npos) << log;
    EXPECT_TRUE(packed(Samples(64, 200), 0, 7, kMethods[0], reused).empty());
}

}  // namespace
