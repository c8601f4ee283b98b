// The PNG renderer: pages read back through libpng's own reader.
#include "printer/PageRenderer.h"

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <random>

namespace printer {
namespace {

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

// Reads the PNG (begun by libpng's `begin` reader) back as 8-bit grey and compares it dot for dot.
void expectSameDots(const DecodedPage& page, png_image& image, bool opened)
{
    ASSERT_TRUE(opened) << image.message;
    image.format = PNG_FORMAT_GRAY;
    ASSERT_EQ(image.width, page.widthPixels());
    ASSERT_EQ(image.height, page.rows());
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) << image.message;
    for (std::uint32_t y = 0; y < page.rows(); ++y)
        for (std::uint32_t x = 0; x < page.widthPixels(); ++x)
            ASSERT_EQ(pixels[std::size_t{y} * image.width + x], page.black(x, y) ? 0 : 255) << x << "," << y;
}

TEST(PageRenderer, PngRoundTripGivesBlackForEverySetBit)
{
    for (const auto& page : {randomPage(48, 533, 1), randomPage(1, 1, 2), randomPage(205, 17, 3)}) {
        std::string error;
        const auto png = encodePagePng(page, error);
        ASSERT_TRUE(png) << error;
        // A one-bit greyscale image: IHDR's bit depth and colour type.
        ASSERT_GT(png->size(), 26u);
        EXPECT_EQ((*png)[24], 1);
        EXPECT_EQ((*png)[25], PNG_COLOR_TYPE_GRAY);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        expectSameDots(page, image, png_image_begin_read_from_memory(&image, png->data(), png->size()) != 0);
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
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    expectSameDots(page, image, png_image_begin_read_from_file(&image, (directory / "page-1.png").c_str()) != 0);

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
