// The raster writer's PGM reading and patterns, which the filter tests and the demo rely on.
#include "tools/raster-writer/GreyPage.h"
#include "tools/raster-writer/RasterWriter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using rasterwriter::GreyPage;

TEST(Pgm, HeaderCommentsWideSamplesAndSeveralImages)
{
    std::string file = "P5 # made by hand\n3 1\n# maximum next\n65535\n";
    file += std::string("\x00\x00\x80\x00\xFF\xFF", 6);
    file += "\nP5\n1 2\n3\n\x01\x03";
    std::string error;
    const auto pages = rasterwriter::parsePgm(file, error);
    ASSERT_TRUE(pages) << error;
    ASSERT_EQ(pages->size(), 2u);
    EXPECT_EQ((*pages)[0].samples, (std::vector<std::uint8_t>{0, 128, 255}));
    EXPECT_EQ((*pages)[1].width, 1);
    EXPECT_EQ((*pages)[1].samples, (std::vector<std::uint8_t>{85, 255}));
}

TEST(Pgm, MalformedFilesAreRefusedWithAReason)
{
    std::string error;
    EXPECT_FALSE(rasterwriter::parsePgm("P2\n1 1\n255\n0", error));
    EXPECT_EQ(error, "not a binary PGM (P5) image");
    EXPECT_FALSE(rasterwriter::parsePgm("P5\n4 4\n255\nabc", error));
    EXPECT_EQ(error, "PGM image data ends early");
    EXPECT_FALSE(rasterwriter::parsePgm("P5\n0 4\n255\n", error));
    EXPECT_FALSE(rasterwriter::parsePgm("P5\n100000 100000\n255\n", error));
    EXPECT_EQ(error, "PGM image too large");
}

TEST(Pgm, EncodedPagesReadBack)
{
    const GreyPage sample = rasterwriter::generatePattern(rasterwriter::Pattern::Sample, 97, 61);
    std::string error;
    const auto pages = rasterwriter::parsePgm(rasterwriter::encodePgm(sample), error);
    ASSERT_TRUE(pages);
    EXPECT_EQ(pages->front().samples, sample.samples);
}

TEST(Patterns, SampleHasBoldBlackFineLinesAndGreys)
{
    const GreyPage page = rasterwriter::generatePattern(rasterwriter::Pattern::Sample, 384, 533);
    int black = 0, grey = 0;
    for (std::uint8_t v : page.samples) {
        black += v == 0;
        grey += v != 0 && v != 255;
    }
    EXPECT_GT(black, 384 * 533 / 20);
    EXPECT_GT(grey, 384 * 533 / 20);
    EXPECT_EQ(page.at(0, 0), 0);  // the frame
    const GreyPage checker = rasterwriter::generatePattern(rasterwriter::Pattern::Checker, 16, 16);
    EXPECT_EQ(checker.at(7, 0), 0);
    EXPECT_EQ(checker.at(8, 0), 255);
    EXPECT_EQ(checker.at(8, 8), 0);
}

TEST(RasterLayouts, HeadersDescribeTheirRows)
{
    const auto bits = rasterwriter::makeHeader(9, 2, rasterwriter::RasterLayout::Black1);
    EXPECT_EQ(bits.cupsBytesPerLine, 2u);
    EXPECT_EQ(bits.cupsColorSpace, CUPS_CSPACE_K);
    const auto rgb = rasterwriter::makeHeader(9, 2, rasterwriter::RasterLayout::Rgb24);
    EXPECT_EQ(rgb.cupsBytesPerLine, 27u);
    EXPECT_EQ(rgb.cupsBitsPerPixel, 24u);
    const GreyPage white = rasterwriter::generatePattern(rasterwriter::Pattern::White, 9, 1);
    EXPECT_EQ(rasterwriter::encodePage(white, rasterwriter::RasterLayout::Grey1).data,
              (std::vector<std::uint8_t>{0xFF, 0x80}));
    EXPECT_EQ(rasterwriter::encodePage(white, rasterwriter::RasterLayout::Black1).data,
              (std::vector<std::uint8_t>{0x00, 0x00}));
}

}  // namespace
