// The raster writer's PGM reading and 1-bit encoding, which the filter tests and the demo rely on.
#include "tools/raster-writer/GreyPage.h"
#include "tools/raster-writer/RasterWriter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Samples = std::vector<std::uint8_t>;

TEST(Pgm, HeaderCommentsWideSamplesSeveralImagesAndMalformedFiles)
{
    std::string file = "P5 # made by hand\n3 1\n# maximum next\n65535\n";
    file += std::string("\x00\x00\x80\x00\xFF\xFF", 6);
    file += "\nP5\n1 2\n3\n\x01\x03";
    std::string error;
    const auto pages = rasterwriter::parsePgm(file, error);
    ASSERT_TRUE(pages) << error;
    ASSERT_EQ(pages->size(), 2u);
    EXPECT_EQ((*pages)[0].samples, (Samples{0, 128, 255}));
    EXPECT_EQ((*pages)[1].samples, (Samples{85, 255}));

    const std::pair<const char*, const char*> malformed[] = {{"P2\n1 1\n255\n0", "not a binary PGM (P5) image"},
                                                             {"P5\n4 4\n255\nabc", "PGM image data ends early"},
                                                             {"P5\n100000 100000\n255\n", "PGM image too large"},
                                                             {"P5\n0 4\n255\n", nullptr}};
    for (const auto& [text, reason] : malformed) {
        EXPECT_FALSE(rasterwriter::parsePgm(text, error)) << text;
        if (reason != nullptr)
            EXPECT_EQ(error, reason);
    }
}

TEST(RasterLayouts, OneBitLayoutsOfAWhitePage)
{
    const auto white = rasterwriter::generatePattern(rasterwriter::Pattern::White, 9, 1);
    EXPECT_EQ(rasterwriter::encodePage(white, rasterwriter::RasterLayout::Grey1).data, (Samples{0xFF, 0x80}));
    EXPECT_EQ(rasterwriter::encodePage(white, rasterwriter::RasterLayout::Black1).data, (Samples{0x00, 0x00}));
}

}  // namespace
