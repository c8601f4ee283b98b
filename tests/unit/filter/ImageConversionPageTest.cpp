// vellumar's page steps: what processImage and processImageInBlocks write and log.
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
using Samples = std::vector<std::uint8_t>;

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

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    FILE* file_;
};

Samples bytesOf(const std::string& text)
{
    return Samples(text.begin(), text.end());
}

Samples printHeader(int width, int height)
{
    const int x = (width + 7) / 8;
    return {0x1D, 0x76, 0x30, 0x00, static_cast<std::uint8_t>(x % 256), static_cast<std::uint8_t>(x / 256),
            static_cast<std::uint8_t>(height % 256), static_cast<std::uint8_t>(height / 256)};
}

Samples concat(Samples a, const Samples& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int occurrences(const std::string& text, const std::string& what)
{
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

Samples randomPage(int width, int height, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(0, 255);
    Samples page(static_cast<std::size_t>(width) * height);
    for (auto& sample : page)
        sample = static_cast<std::uint8_t>(value(rng));
    return page;
}

TEST(ProcessImage, ScalesConvertsAndWritesHeaderAndRowsInOneBuffer)
{
    const Samples page = randomPage(576, 800, 1);
    MemoryStream out, log;
    ConversionWorkspace workspace;
    filter::processImage(out.file(), log.file(), page.data(), 576, 800, 384, 533, 3, workspace);

    const Samples scaled = reference::resizeImage(page.data(), 576, 800, 384, 533);
    const Samples expected = concat(printHeader(384, 533),
                                    reference::convertAndPack(reference::Method::FloydSteinberg, scaled.data(), 384, 533));
    EXPECT_EQ(bytesOf(out.text()), expected);
    const std::string text = log.text();
    EXPECT_EQ(text.find("Skipping resize"), std::string::npos);
    EXPECT_NE(text.find("] Success write image buffer: 1D 76 30 00 30 00 15 02 "), std::string::npos) << text;
    // The dump shows the first 100 bytes of the buffer, each as "XX ".
    const std::size_t dump = text.find("Success write image buffer: ");
    const std::size_t end = text.find('\n', dump);
    EXPECT_EQ(end - dump, std::string("Success write image buffer: ").size() + 300);
}

TEST(ProcessImage, PageOfTargetSizeIsUsedAsItIsAndShortOutputIsDumpedWhole)
{
    const Samples page{0, 255, 127, 128, 200, 10, 255, 0, 1};  // 9 x 1
    MemoryStream out, log;
    ConversionWorkspace workspace;
    filter::processImage(out.file(), log.file(), page.data(), 9, 1, 9, 1, 0, workspace);
    EXPECT_EQ(bytesOf(out.text()), concat(printHeader(9, 1), Samples{0xA5, 0x80}));
    const std::string text = log.text();
    EXPECT_NE(text.find("] Skipping resize as input and output dimensions are the same.\n"), std::string::npos);
    EXPECT_NE(text.find("] Success write image buffer: 1D 76 30 00 02 00 01 00 A5 80 \n"), std::string::npos)
        << text;
}

TEST(ProcessImage, ATargetOfNoRowsWritesNothing)
{
    const Samples page(1000, 0);  // 1000 x 1 scales to 384 x 0
    MemoryStream out, log;
    ConversionWorkspace workspace;
    filter::processImage(out.file(), log.file(), page.data(), 1000, 1, 384, 0, 3, workspace);
    EXPECT_TRUE(out.text().empty());
    EXPECT_NE(log.text().find("] Error: Failed to resize image\n"), std::string::npos);
}

TEST(ProcessImageInBlocks, ConvertsBlocksOf1000RowsOnTheirOwn)
{
    const int width = 21, height = 2500;
    const Samples page = randomPage(width, height, 3);
    MemoryStream out, log;
    ConversionWorkspace workspace;
    filter::processImageInBlocks(out.file(), log.file(), page.data(), width, height, 1, workspace);

    Samples expected = printHeader(width, height);
    for (int first : {0, 1000, 2000}) {
        const int rows = first == 2000 ? 500 : 1000;
        expected = concat(expected, reference::convertAndPack(reference::Method::FloydSteinberg,
                                                              page.data() + first * width, width, rows));
    }
    EXPECT_EQ(bytesOf(out.text()), expected);
    // Diffusion does not cross block borders, so the whole page converts differently.
    EXPECT_NE(expected, concat(printHeader(width, height),
                               reference::convertAndPack(reference::Method::FloydSteinberg, page.data(), width, height)));
    const std::string text = log.text();
    EXPECT_EQ(occurrences(text, "] Processing image in 3 blocks of height 1000\n"), 1);
    EXPECT_EQ(occurrences(text, "] processRasterDataWithDithering start\n"), 3);
    EXPECT_EQ(occurrences(text, "] processRasterDataWithDithering end, elapsed time: "), 3);
}

TEST(ProcessImageInBlocks, AShortPageIsOneBlock)
{
    const Samples page(3 * 5, 0);
    MemoryStream out, log;
    ConversionWorkspace workspace;
    filter::processImageInBlocks(out.file(), log.file(), page.data(), 3, 5, 0, workspace);
    EXPECT_EQ(bytesOf(out.text()), concat(printHeader(3, 5), Samples(5, 0xE0)));
    EXPECT_NE(log.text().find("] Processing image in 1 blocks of height 1000\n"), std::string::npos);
}

}  // namespace
