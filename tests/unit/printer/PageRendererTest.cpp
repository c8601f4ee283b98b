// Tests of the PNG renderer: pages read back through libpng's own reader.
#include "printer/PageRenderer.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdlib>
#include <filesystem>
#include <random>

namespace printer {
namespace {

struct GreyImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;  // 8-bit grey, row after row
};

GreyImage readBack(png_image& image, bool opened)
{
    GreyImage result;
    EXPECT_TRUE(opened) << image.message;
    if (!opened)
        return result;
    image.format = PNG_FORMAT_GRAY;
    result.width = image.width;
    result.height = image.height;
    result.pixels.resize(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, result.pixels.data(), 0, nullptr)) << image.message;
    png_image_free(&image);
    return result;
}

GreyImage decodePng(const std::vector<std::uint8_t>& png)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    return readBack(image, png_image_begin_read_from_memory(&image, png.data(), png.size()) != 0);
}

GreyImage decodePngFile(const std::filesystem::path& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    return readBack(image, png_image_begin_read_from_file(&image, path.c_str()) != 0);
}

DecodedPage randomPage(std::uint32_t bytesPerRow, std::uint32_t rows, unsigned seed)
{
    std::mt19937 random(seed);
    DecodedPage page;
    page.number = 1;
    page.bytesPerRow = bytesPerRow;
    page.announcedRows = rows;
    page.packed.resize(std::size_t{bytesPerRow} * rows);
    for (auto& byte : page.packed)
        byte = static_cast<std::uint8_t>(random());
    page.receivedBytes = page.packed.size();
    return page;
}

void expectSameDots(const DecodedPage& page, const GreyImage& image)
{
    ASSERT_EQ(image.width, page.widthPixels());
    ASSERT_EQ(image.height, page.rows());
    for (std::uint32_t y = 0; y < page.rows(); ++y) {
        for (std::uint32_t x = 0; x < page.widthPixels(); ++x) {
            const std::uint8_t expected = page.black(x, y) ? 0 : 255;
            ASSERT_EQ(image.pixels[std::size_t{y} * image.width + x], expected) << "at " << x << "," << y;
        }
    }
}

TEST(PageRenderer, PngRoundTripGivesBlackForEverySetBit)
{
    for (const auto& page : {randomPage(48, 533, 1), randomPage(1, 1, 2), randomPage(205, 17, 3)}) {
        SCOPED_TRACE(std::to_string(page.widthPixels()) + "x" + std::to_string(page.rows()));
        std::string error;
        const auto png = encodePagePng(page, error);
        ASSERT_TRUE(png) << error;
        // A one-bit greyscale image: IHDR's bit depth and colour type.
        ASSERT_GT(png->size(), 26u);
        EXPECT_EQ((*png)[24], 1);
        EXPECT_EQ((*png)[25], PNG_COLOR_TYPE_GRAY);
        expectSameDots(page, decodePng(*png));
    }
}

TEST(PageRenderer, WritesAFileAndRefusesAnEmptyPageOrABadPath)
{
    char pattern[] = "/tmp/pb-printer-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path directory = pattern;
    const DecodedPage page = randomPage(3, 9, 4);
    std::string error;
    ASSERT_TRUE(writePagePng(page, directory / "page-1.png", error)) << error;
    expectSameDots(page, decodePngFile(directory / "page-1.png"));

    DecodedPage empty;
    empty.bytesPerRow = 3;
    empty.announcedRows = 5;
    EXPECT_FALSE(writePagePng(empty, directory / "page-2.png", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(std::filesystem::exists(directory / "page-2.png"));

    error.clear();
    EXPECT_FALSE(writePagePng(page, directory / "missing" / "page-3.png", error));
    EXPECT_FALSE(error.empty());
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace printer
