// Image conversion: known vectors, and bit-for-bit agreement with the plain reference
// implementations on random and extreme pages.
#include "bench/filter/ReferenceConversion.h"
#include "filter/ImageConversion.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using filter::ConversionWorkspace;
using filter::FilterVariant;
using Samples = std::vector<std::uint8_t>;

// A FILE* whose bytes the test can read back.
class MemoryStream {
public:
    MemoryStream() : file_(open_memstream(&data_, &size_)) {}
    ~MemoryStream()
    {
        std::fclose(file_);
        std::free(data_);
    }
    FILE* file() const { return file_; }
    std::string text()
    {
        std::fflush(file_);
        return std::string(data_, size_);
    }
    Samples bytes()
    {
        const std::string t = text();
        return Samples(t.begin(), t.end());
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    FILE* file_;
};

Samples randomPage(std::mt19937& rng, int width, int height, int low, int high)
{
    std::uniform_int_distribution<int> value(low, high);
    Samples page(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (auto& sample : page)
        sample = static_cast<std::uint8_t>(value(rng));
    return page;
}

// Where the conversion's log entries go when a test does not look at them.
FILE* discardedLog()
{
    static FILE* const sink = std::fopen("/dev/null", "w");
    return sink;
}

Samples packed(const Samples& page, int width, int height, int printMode, FilterVariant variant,
               ConversionWorkspace& workspace)
{
    const std::size_t length =
        filter::processRasterDataWithDithering(discardedLog(), page.data(), width, height, printMode, variant, workspace);
    return Samples(workspace.packed.begin(), workspace.packed.begin() + static_cast<std::ptrdiff_t>(length));
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

std::string describe(const MethodCase& m, int width, int height)
{
    return "print mode " + std::to_string(m.printMode) +
           (m.variant == FilterVariant::Tessoral ? " tessoral " : " vellumar ") + std::to_string(width) + "x" +
           std::to_string(height);
}

TEST(ResizeImage, TwoByTwoToFourByFourRepeatsTheLastSourceColumnAndRow)
{
    const Samples src{0, 255, 255, 0};
    Samples dst;
    ASSERT_TRUE(filter::resizeImage(src.data(), 2, 2, dst, 4, 4));
    ASSERT_EQ(dst.size(), 16u);
    EXPECT_EQ(Samples(dst.begin(), dst.begin() + 4), (Samples{0, 127, 255, 255}));
    EXPECT_EQ((Samples{dst[0], dst[4], dst[8], dst[12]}), (Samples{0, 127, 255, 255}));
}

TEST(ResizeImage, EqualsThePerPixelFormulaBitForBit)
{
    std::mt19937 rng(7);
    const int sizes[][4] = {{576, 800, 384, 533}, {11, 197, 11, 196}, {1638, 40, 384, 9},  {3, 5, 17, 2},
                            {1, 1, 7, 3},         {100, 1, 37, 1},    {37, 61, 100, 150}, {5, 5, 1, 1}};
    filter::ResizeScratch scratch;  // reused on purpose: stale rows must not leak into the next page
    for (const auto& s : sizes) {
        const Samples src = randomPage(rng, s[0], s[1], 0, 255);
        Samples dst;
        ASSERT_TRUE(filter::resizeImage(src.data(), s[0], s[1], dst, s[2], s[3], scratch));
        EXPECT_EQ(dst, reference::resizeImage(src.data(), s[0], s[1], s[2], s[3]))
            << s[0] << "x" << s[1] << " -> " << s[2] << "x" << s[3];
    }
}

TEST(ResizeImage, RefusesSizesThatAreNotPositive)
{
    const Samples src{1, 2, 3, 4};
    Samples dst{9};
    EXPECT_FALSE(filter::resizeImage(src.data(), 2, 2, dst, 0, 4));
    EXPECT_FALSE(filter::resizeImage(src.data(), 2, 2, dst, 4, -1));
    EXPECT_FALSE(filter::resizeImage(src.data(), 0, 2, dst, 4, 4));
    EXPECT_EQ(dst, Samples{9});
}

TEST(Conversion, FirstPixelIsBlackAt127AndWhiteAt128UnderEveryMethod)
{
    ConversionWorkspace workspace;
    for (const MethodCase& m : kMethods) {
        for (int width : {1, 9}) {
            Samples page(static_cast<std::size_t>(width) * 2, 255);
            page[0] = 127;
            EXPECT_EQ(packed(page, width, 2, m.printMode, m.variant, workspace)[0], 0x80) << describe(m, width, 2);
            page[0] = 128;
            EXPECT_EQ(packed(page, width, 2, m.printMode, m.variant, workspace)[0] & 0x80, 0) << describe(m, width, 2);
        }
    }
}

TEST(Conversion, UniformGrey128DithersUnderFloydSteinbergButPrintsNothingUnderThreshold)
{
    const int width = 16, height = 4;
    const Samples grey(width * height, 128);
    const filter::Image image{grey.data(), width, height, 1};
    Samples dithered;
    filter::applyClassicFloydSteinbergDithering(image, dithered);
    // The first pixel turns white, leaving -127: 7/16 of it (-55) makes the second 73, black.
    EXPECT_EQ(dithered[0], 255);
    EXPECT_EQ(dithered[1], 0);
    EXPECT_EQ(dithered, reference::convert(reference::Method::FloydSteinberg, grey.data(), width, height));
    Samples other;
    filter::applyFloydSteinbergDithering(image, other, FilterVariant::Vellumar);
    EXPECT_EQ(other, dithered);

    ConversionWorkspace workspace;
    EXPECT_EQ(packed(grey, width, height, 0, FilterVariant::Vellumar, workspace), Samples(2 * height, 0x00));
}

TEST(Conversion, UniformPagesPackToFullBytesWithTheUnusedLowBitsClear)
{
    ConversionWorkspace workspace;
    for (const MethodCase& m : kMethods) {
        for (int width = 1; width <= 17; ++width) {
            const int height = 3;
            const std::size_t rowBytes = filter::packedRowBytes(width);
            const std::uint8_t lastByte = static_cast<std::uint8_t>(0xFF00 >> (width % 8 == 0 ? 8 : width % 8));
            Samples black(rowBytes * height, 0xFF);
            for (int y = 0; y < height; ++y)
                black[rowBytes * y + rowBytes - 1] = lastByte;
            EXPECT_EQ(packed(Samples(width * height, 0), width, height, m.printMode, m.variant, workspace), black)
                << describe(m, width, height);
            EXPECT_EQ(packed(Samples(width * height, 255), width, height, m.printMode, m.variant, workspace),
                      Samples(rowBytes * height, 0))
                << describe(m, width, height);
        }
    }
}

TEST(Conversion, PackedRowsEqualTheReferenceOnSmallRandomPages)
{
    std::mt19937 rng(2024);
    ConversionWorkspace workspace;
    for (const MethodCase& m : kMethods) {
        for (int width = 1; width <= 17; ++width) {
            for (int height = 1; height <= 5; ++height) {
                for (const auto& [low, high] : {std::pair{0, 255}, std::pair{120, 135}, std::pair{126, 129}}) {
                    const Samples page = randomPage(rng, width, height, low, high);
                    ASSERT_EQ(packed(page, width, height, m.printMode, m.variant, workspace),
                              reference::convertAndPack(m.method, page.data(), width, height))
                        << describe(m, width, height) << " values " << low << ".." << high;
                }
            }
        }
    }
}

// Pages that drive the error to its extremes: saturated stripes and checkerboards, and
// values straddling the threshold; large sizes as the filters meet them.
TEST(Conversion, PackedRowsEqualTheReferenceOnExtremeAndFullSizePages)
{
    std::mt19937 rng(99);
    const int sizes[][2] = {{384, 533}, {1638, 61}, {257, 33}};
    ConversionWorkspace workspace;
    for (const auto& s : sizes) {
        const int width = s[0], height = s[1];
        std::vector<Samples> pages{randomPage(rng, width, height, 0, 255), randomPage(rng, width, height, 127, 128)};
        Samples stripes(width * height), checker(width * height), edges(width * height);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * width + x;
                stripes[i] = (x % 2 == 0) ? 0 : 255;
                checker[i] = ((x + y) % 2 == 0) ? 127 : 128;
                edges[i] = (x < width / 2) ? 1 : 254;
            }
        }
        pages.insert(pages.end(), {stripes, checker, edges});
        for (const Samples& page : pages) {
            for (const MethodCase& m : kMethods) {
                ASSERT_EQ(packed(page, width, height, m.printMode, m.variant, workspace),
                          reference::convertAndPack(m.method, page.data(), width, height))
                    << describe(m, width, height);
            }
        }
    }
}

TEST(Conversion, SampleOutputsEqualTheReference)
{
    std::mt19937 rng(5);
    const int width = 23, height = 7;
    const Samples page = randomPage(rng, width, height, 0, 255);
    const filter::Image image{page.data(), width, height, 1};
    Samples result;
    filter::applyFloydSteinbergDithering(image, result, FilterVariant::Tessoral);
    EXPECT_EQ(result, reference::convert(reference::Method::Sierra3, page.data(), width, height));
    filter::applyClassicFloydSteinbergDithering(image, result);
    EXPECT_EQ(result, reference::convert(reference::Method::FloydSteinberg, page.data(), width, height));
    filter::applyBinaryThreshold(image, result);
    EXPECT_EQ(result, reference::convert(reference::Method::Threshold, page.data(), width, height));
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

TEST(Conversion, AReusedWorkspaceGivesTheSameRowsAsAFreshOne)
{
    std::mt19937 rng(11);
    ConversionWorkspace reused;
    const Samples wide = randomPage(rng, 200, 30, 0, 255);
    const Samples narrow = randomPage(rng, 13, 9, 100, 150);
    for (const MethodCase& m : kMethods) {
        packed(wide, 200, 30, m.printMode, m.variant, reused);
        ConversionWorkspace fresh;
        EXPECT_EQ(packed(narrow, 13, 9, m.printMode, m.variant, reused),
                  packed(narrow, 13, 9, m.printMode, m.variant, fresh))
            << describe(m, 13, 9);
    }
}

TEST(Conversion, ProcessRasterDataLogsStartAndElapsedProcessorTime)
{
    MemoryStream log;
    ConversionWorkspace workspace;
    const Samples page(64, 200);
    EXPECT_EQ(filter::processRasterDataWithDithering(log.file(), page.data(), 9, 7, 3, FilterVariant::Vellumar,
                                                     workspace),
              14u);
    const std::string text = log.text();
    EXPECT_NE(text.find("] processRasterDataWithDithering start\n["), std::string::npos) << text;
    EXPECT_NE(text.find("] processRasterDataWithDithering end, elapsed time: 0.0"), std::string::npos) << text;
    EXPECT_EQ(filter::processRasterDataWithDithering(discardedLog(), page.data(), 0, 7, 3, FilterVariant::Vellumar,
                                                     workspace),
              0u);
}

}  // namespace
