// Raster page reading: every supported layout to grey, refused pages skipped, streams kept aligned.
#include "filter/FilterLog.h"
#include "filter/PixelLayout.h"
#include "filter/RasterPageReader.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

namespace {

using filtertest::Bytes;
using rasterwriter::Pattern;
using rasterwriter::RasterLayout;

struct ReadPage {
    bool accepted = false;
    bool complete = false;
    Bytes samples;
};

// Reads every page of `stream` the way the filters do; the log goes to `log`.
std::vector<ReadPage> readAll(const Bytes& stream, std::string& log)
{
    std::vector<ReadPage> pages;
    const int fd = filtertest::memoryFd(stream);
    log = filtertest::capture([&](FILE*, FILE* file) {
        cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
        filter::RasterPageReader reader(raster);
        cups_page_header2_t h;
        while (raster != nullptr && reader.readHeader(h)) {
            ReadPage page{reader.acceptPage(h, file), false, {}};
            if (page.accepted && reader.allocatePage(h) && (page.complete = reader.readPage(h, file)))
                page.samples.assign(reader.samples(), reader.samples() + std::size_t{h.cupsWidth} * h.cupsHeight);
            pages.push_back(std::move(page));
        }
        if (raster != nullptr)
            cupsRasterClose(raster);
    }).log;
    close(fd);
    return pages;
}

cups_page_header2_t header(unsigned width, unsigned height, unsigned bitsPerPixel, unsigned bytesPerLine,
                           cups_cspace_t space = CUPS_CSPACE_W)
{
    cups_page_header2_t h = rasterwriter::makeHeader(1, 1, RasterLayout::Grey8);
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerPixel = bitsPerPixel;
    h.cupsBitsPerColor = bitsPerPixel == 24 ? 8 : bitsPerPixel;
    h.cupsBytesPerLine = bytesPerLine;
    h.cupsColorSpace = space;
    return h;
}

TEST(RasterPageReader, EveryLayoutReadsAtItsRowLengthAndBecomesGrey)
{
    // Widths that are not multiples of 8 catch rows read at cupsWidth bytes instead of their length.
    const auto checker = rasterwriter::generatePattern(Pattern::Checker, 37, 21);
    const auto gradient = rasterwriter::generatePattern(Pattern::Gradient, 29, 5);
    std::vector<rasterwriter::RasterPage> pages;
    for (RasterLayout layout : {RasterLayout::Grey1, RasterLayout::Black1, RasterLayout::Black8, RasterLayout::Rgb24,
                                RasterLayout::Grey8})
        pages.push_back(rasterwriter::encodePage(checker, layout));
    pages.push_back(rasterwriter::encodePage(gradient, RasterLayout::Black8));
    pages.push_back(rasterwriter::encodePage(gradient, RasterLayout::Rgb24));

    std::string log;
    const auto read = readAll(filtertest::rasterStream(pages), log);
    ASSERT_EQ(read.size(), 7u);
    for (std::size_t i = 0; i < 7; ++i) {
        ASSERT_TRUE(read[i].complete) << i;
        EXPECT_EQ(read[i].samples, (i < 5 ? checker : gradient).samples) << i;
    }
    EXPECT_TRUE(log.empty()) << log;
    // Known 1-bit vectors, so that a writer and reader wrong the same way cannot agree.
    const auto white = rasterwriter::generatePattern(Pattern::White, 9, 1);
    EXPECT_EQ(rasterwriter::encodePage(white, RasterLayout::Grey1).data, (Bytes{0xFF, 0x80}));
    EXPECT_EQ(rasterwriter::encodePage(white, RasterLayout::Black1).data, (Bytes{0x00, 0x00}));
}

TEST(PixelLayout, OnlyKnownCombinationsAndRgbAsRoundedBt601Luma)
{
    cups_page_header2_t banded = header(10, 1, 24, 30, CUPS_CSPACE_RGB);
    banded.cupsColorOrder = CUPS_ORDER_BANDED;
    const std::pair<cups_page_header2_t, filter::PixelLayout> cases[] = {
        {header(10, 1, 8, 10, CUPS_CSPACE_SW), filter::PixelLayout::Grey8},
        {header(10, 1, 8, 12), filter::PixelLayout::Grey8},        // padded rows
        {header(10, 1, 8, 9), filter::PixelLayout::Unsupported},  // rows too short
        {header(10, 1, 16, 20), filter::PixelLayout::Unsupported},
        {header(10, 1, 24, 30, CUPS_CSPACE_CMY), filter::PixelLayout::Unsupported},
        {header(10, 1, 8, 10, CUPS_CSPACE_RGB), filter::PixelLayout::Unsupported},
        {banded, filter::PixelLayout::Unsupported}};
    for (const auto& [h, layout] : cases)
        EXPECT_EQ(filter::classifyLayout(h), layout) << h.cupsBitsPerPixel << " bits, space " << h.cupsColorSpace;

    const std::uint8_t rgb[] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 10, 200, 30};
    std::uint8_t grey[5];
    filter::convertRowToGrey(filter::PixelLayout::Rgb24, rgb, 5, grey);
    // 76.245, 149.685, 29.07, 255, (2990 + 117400 + 3420 + 500) / 1000
    EXPECT_EQ(Bytes(grey, grey + 5), (Bytes{76, 150, 29, 255, 124}));
}

// Each stream: the pages the reader must accept (A) or refuse (R), complete (C) or not, and the one
// line it logs. Refused pages with data behind them are skipped so the next page stays aligned.
TEST(RasterPageReader, RefusedAndShortPagesAreSkippedWithOneLogLine)
{
    const auto next = filtertest::patternPage(Pattern::Gradient, 13, 4);
    const auto black = filtertest::patternPage(Pattern::Black, 16, 10);
    using filtertest::rawRaster;
    const struct {
        Bytes stream;
        const char* pages;
        const char* logLine;
    } cases[] = {
        // 10 pixels in 12-byte rows: the padding is never read as pixels.
        {rawRaster({{header(10, 3, 16, 20), Bytes(20 * 3, 0x42)}, {next.header, next.data},
                    {header(10, 2, 8, 12), Bytes(12 * 2, 0x80)}, {next.header, next.data}}),
         "R AC AC AC", "Unsupported raster layout: color space 0, 16 bits per color, 16 bits per pixel"},
        {rawRaster({{header(70000, 70000, 8, 70000), {}}}), "R", "Page too large: 70000x70000 pixels"},  // 4.9 GB
        // A 1-bit page whose raster is small but whose grey samples would not be.
        {rawRaster({{header(1u << 17, 1u << 12, 1, 1u << 14), {}}}), "R", "Page too large: 131072x4096"},
        {rawRaster({{black.header, Bytes(16 * 6, 0x00)}}), "A",
         "Raster data ended inside the page after 6 of 10 rows; page skipped.\n"},
    };
    for (const auto& c : cases) {
        std::string log;
        const auto read = readAll(c.stream, log);
        std::string pages;
        for (const ReadPage& page : read)
            pages += std::string(pages.empty() ? "" : " ") + (page.accepted ? "A" : "R") + (page.complete ? "C" : "");
        EXPECT_EQ(pages, c.pages) << c.logLine;
        const std::size_t at = log.find(c.logLine);
        EXPECT_NE(at, std::string::npos) << log;
        EXPECT_EQ(log.find(c.logLine, at + 1), std::string::npos) << log;
    }
    std::string log;
    const auto read = readAll(cases[0].stream, log);
    EXPECT_EQ(read[1].samples, next.data);
    EXPECT_EQ(read[2].samples, Bytes(20, 0x80));
    EXPECT_EQ(read[3].samples, next.data);
}

TEST(RasterPageReader, ImpossibleHeadersAreRefusedAndFieldsOutsideTheirTypesLoggedSafely)
{
    cups_page_header2_t hostile = rasterwriter::makeHeader(8, 8, RasterLayout::Grey8);
    const unsigned space = 18432;  // no cups_cspace_t value
    std::memcpy(&hostile.cupsColorSpace, &space, sizeof space);
    std::memset(hostile.MediaType, 'x', sizeof hostile.MediaType);  // no terminating zero
    EXPECT_EQ(filter::classifyLayout(hostile), filter::PixelLayout::Unsupported);
    const std::string text = filtertest::capture([&](FILE*, FILE* log) {
        filter::printHeaderInfo(hostile, log);
        // Zero sizes: libcups refuses some of them itself; the reader refuses all of them.
        filter::RasterPageReader reader(nullptr);
        EXPECT_FALSE(reader.acceptPage(header(0, 5, 8, 0), log));
        EXPECT_FALSE(reader.acceptPage(header(5, 0, 8, 5), log));
        hostile.cupsHeight = 0;
        EXPECT_FALSE(reader.acceptPage(hostile, log));
    }).log;
    EXPECT_NE(text.find("Invalid page header: 0x5 pixels; page skipped.\n"), std::string::npos);
    EXPECT_NE(text.find("  cupsColorSpace: 18432\n"), std::string::npos);
    EXPECT_NE(text.find("  MediaType: " + std::string(64, 'x') + "\n"), std::string::npos);
}

}  // namespace
