// vellumar's page steps: what processImage and processImageInBlocks write and log.
#include "bench/filter/ReferenceConversion.h"
#include "filter/ImageConversion.h"
#include "filter/PrinterCommands.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using filter::ConversionWorkspace;
using filtertest::Bytes;
using filtertest::Captured;
using filtertest::concat;

int occurrences(const std::string& text, const std::string& what)
{
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

Bytes randomPage(int width, int height, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes page(static_cast<std::size_t>(width) * height);
    for (auto& sample : page)
        sample = static_cast<std::uint8_t>(rng());
    return page;
}

Captured processImage(const Bytes& page, int width, int height, int targetWidth, int targetHeight, int printMode)
{
    ConversionWorkspace workspace;
    return filtertest::capture([&](FILE* out, FILE* log) {
        filter::processImage(out, log, page.data(), width, height, targetWidth, targetHeight, printMode, workspace);
    });
}

Bytes floydSteinberg(const std::uint8_t* samples, int width, int height)
{
    return reference::convertAndPack(reference::Method::FloydSteinberg, samples, width, height);
}

TEST(ProcessImage, ScalesConvertsAndWritesHeaderAndRowsInOneBuffer)
{
    const Bytes page = randomPage(576, 800, 1);
    const Captured c = processImage(page, 576, 800, 384, 533, 3);
    const Bytes scaled = reference::resizeImage(page.data(), 576, 800, 384, 533);
    EXPECT_EQ(c.out, concat({filter::createPrintHeader(384, 533), floydSteinberg(scaled.data(), 384, 533)}));
    EXPECT_EQ(c.log.find("Skipping resize"), std::string::npos);
    // The dump shows the first 100 bytes of the buffer, each as "XX ".
    const std::string dump = "] Success write image buffer: ";
    const std::size_t at = c.log.find(dump + "1D 76 30 00 30 00 15 02 ");
    ASSERT_NE(at, std::string::npos) << c.log;
    EXPECT_EQ(c.log.find('\n', at) - at, dump.size() + 300);
}

TEST(ProcessImage, PageOfTargetSizeIsUsedAsItIsAndATargetOfNoRowsWritesNothing)
{
    const Bytes page{0, 255, 127, 128, 200, 10, 255, 0, 1};  // 9 x 1
    const Captured c = processImage(page, 9, 1, 9, 1, 0);
    EXPECT_EQ(c.out, (Bytes{0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x01, 0x00, 0xA5, 0x80}));
    EXPECT_NE(c.log.find("] Skipping resize as input and output dimensions are the same.\n"), std::string::npos);
    EXPECT_NE(c.log.find("] Success write image buffer: 1D 76 30 00 02 00 01 00 A5 80 \n"), std::string::npos);

    const Captured none = processImage(Bytes(1000, 0), 1000, 1, 384, 0, 3);  // 1000 x 1 scales to 384 x 0
    EXPECT_TRUE(none.out.empty());
    EXPECT_NE(none.log.find("] Error: Failed to resize image\n"), std::string::npos);
}

TEST(ProcessImageInBlocks, ConvertsBlocksOf1000RowsOnTheirOwn)
{
    const int width = 21;
    const Bytes page = randomPage(width, 2500, 3);
    ConversionWorkspace workspace;
    auto inBlocks = [&](const Bytes& samples, int height, int printMode) {
        return filtertest::capture([&](FILE* out, FILE* log) {
            filter::processImageInBlocks(out, log, samples.data(), width, height, printMode, workspace);
        });
    };
    const Captured c = inBlocks(page, 2500, 1);
    Bytes expected = filter::createPrintHeader(width, 2500);
    for (int first : {0, 1000, 2000})
        expected = concat({expected, floydSteinberg(page.data() + first * width, width, first == 2000 ? 500 : 1000)});
    EXPECT_EQ(c.out, expected);
    // Diffusion does not cross block borders, so the whole page converts differently.
    EXPECT_NE(expected, concat({filter::createPrintHeader(width, 2500), floydSteinberg(page.data(), width, 2500)}));
    EXPECT_EQ(occurrences(c.log, "] Processing image in 3 blocks of height 1000\n"), 1);
    EXPECT_EQ(occurrences(c.log, "] processRasterDataWithDithering start\n"), 3);
    EXPECT_EQ(occurrences(c.log, "] processRasterDataWithDithering end, elapsed time: "), 3);

    const Captured shortPage = inBlocks(Bytes(width * 5, 0), 5, 0);  // one block
    const Bytes row{0xFF, 0xFF, 0xF8};
    EXPECT_EQ(shortPage.out, concat({filter::createPrintHeader(width, 5), row, row, row, row, row}));
    EXPECT_NE(shortPage.log.find("] Processing image in 1 blocks of height 1000\n"), std::string::npos);
}

}  // namespace
