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

struct ReadJob {
    std::vector<ReadPage> pages;
    std::string log;
};

// Reads every page of `stream` the way the filters do.
ReadJob readAll(const Bytes& stream)
{
    ReadJob job;
    const int fd = filtertest::memoryFd(stream);
    job.log = filtertest::capture([&](FILE*, FILE* log) {
        cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
        filter::RasterPageReader reader(raster);
        cups_page_header2_t h;
        while (raster != nullptr && reader.readHeader(h)) {
            ReadPage page{reader.acceptPage(h, log), false, {}};
            if (page.accepted && reader.allocatePage(h) && (page.complete = reader.readPage(h, log)))
                page.samples.assign(reader.samples(), reader.samples() + std::size_t{h.cupsWidth} * h.cupsHeight);
            job.pages.push_back(std::move(page));
        }
        if (raster != nullptr)
            cupsRasterClose(raster);
    }).log;
    close(fd);
    return job;
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

    const ReadJob job = readAll(filtertest::rasterStream(pages));
    ASSERT_EQ(job.pages.size(), 7u);
    for (std::size_t i = 0; i < 7; ++i) {
        ASSERT_TRUE(job.pages[i].complete) << i;
        EXPECT_EQ(job.pages[i].samples, (i < 5 ? checker : gradient).samples) << i;
    }
    EXPECT_TRUE(job.log.empty()) << job.log;
    // Known 1-bit vectors, so that a writer and reader wrong the same way cannot agree.
    const auto white = rasterwriter::generatePattern(Pattern::White, 9, 1);
    EXPECT_EQ(rasterwriter::encodePage(white, RasterLayout::Grey1).data, (Bytes{0xFF, 0x80}));
    EXPECT_EQ(rasterwriter::encodePage(white, RasterLayout::Black1).data, (Bytes{0x00, 0x00}));
}

TEST(PixelLayout, RgbUsesRoundedBt601Luma)
{
    const std::uint8_t rgb[] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 10, 200, 30};
    std::uint8_t grey[5];
    filter::convertRowToGrey(filter::PixelLayout::Rgb24, rgb, 5, grey);
    // 76.245, 149.685, 29.07, 255, (2990 + 117400 + 3420 + 500) / 1000
    EXPECT_EQ(Bytes(grey, grey + 5), (Bytes{76, 150, 29, 255, 124}));
}

TEST(PixelLayout, OnlyKnownCombinationsAreAccepted)
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
}

TEST(RasterPageReader, RefusedPagesAreSkippedAndTheNextPageStaysAligned)
{
    const auto next = filtertest::patternPage(Pattern::Gradient, 13, 4);
    const Bytes padded(12 * 2, 0x80);  // 10 pixels in 12-byte rows: the padding is never read as pixels
    const ReadJob job = readAll(filtertest::rawRaster({{header(10, 3, 16, 20), Bytes(20 * 3, 0x42)},
                                                       {next.header, next.data},
                                                       {header(10, 2, 8, 12), padded},
                                                       {next.header, next.data}}));
    ASSERT_EQ(job.pages.size(), 4u);
    EXPECT_FALSE(job.pages[0].accepted);
    EXPECT_EQ(job.pages[1].samples, next.data);
    EXPECT_EQ(job.pages[2].samples, Bytes(20, 0x80));
    EXPECT_EQ(job.pages[3].samples, next.data);
    EXPECT_NE(job.log.find("Unsupported raster layout: color space 0, 16 bits per color, 16 bits per pixel"),
              std::string::npos);
    // Through libcups's compressed writer, the job table of the filter tests makes the same check.
}

TEST(RasterPageReader, HostileSizesAreRefusedWithoutAllocating)
{
    // 4.9 GB claimed, no data behind it
    const ReadJob huge = readAll(filtertest::rawRaster({{header(70000, 70000, 8, 70000), {}}}));
    ASSERT_EQ(huge.pages.size(), 1u);
    EXPECT_FALSE(huge.pages[0].accepted);
    EXPECT_NE(huge.log.find("Page too large: 70000x70000 pixels"), std::string::npos);

    // A 1-bit page whose raster is small but whose grey samples would not be.
    const ReadJob bits = readAll(filtertest::rawRaster({{header(1u << 17, 1u << 12, 1, 1u << 14), {}}}));
    EXPECT_NE(bits.log.find("Page too large"), std::string::npos);

    // Zero sizes: libcups refuses some of them itself; the reader refuses all of them.
    const std::string log = filtertest::capture([](FILE*, FILE* log) {
        filter::RasterPageReader reader(nullptr);
        EXPECT_FALSE(reader.acceptPage(header(0, 5, 8, 0), log));
        EXPECT_FALSE(reader.acceptPage(header(5, 0, 8, 5), log));
    }).log;
    EXPECT_NE(log.find("Invalid page header: 0x5 pixels; page skipped.\n"), std::string::npos);
}

TEST(RasterPageReader, APageWhoseDataEndsEarlyIsNotComplete)
{
    const auto page = filtertest::patternPage(Pattern::Black, 16, 10);
    const Bytes sixRows(page.data.begin(), page.data.begin() + 16 * 6);
    const ReadJob job = readAll(filtertest::rawRaster({{page.header, sixRows}}));
    ASSERT_EQ(job.pages.size(), 1u);
    EXPECT_FALSE(job.pages[0].complete);
    EXPECT_NE(job.log.find("Raster data ended inside the page after 6 of 10 rows; page skipped.\n"),
              std::string::npos);
}

TEST(RasterPageReader, HeaderFieldsOutsideTheirTypesAreLoggedSafely)
{
    cups_page_header2_t hostile = rasterwriter::makeHeader(8, 8, RasterLayout::Grey8);
    const unsigned space = 18432;  // no cups_cspace_t value
    std::memcpy(&hostile.cupsColorSpace, &space, sizeof space);
    std::memset(hostile.MediaType, 'x', sizeof hostile.MediaType);  // no terminating zero
    EXPECT_EQ(filter::classifyLayout(hostile), filter::PixelLayout::Unsupported);
    const std::string text = filtertest::capture([&](FILE*, FILE* log) {
        filter::printHeaderInfo(hostile, log);
        filter::RasterPageReader reader(nullptr);
        hostile.cupsHeight = 0;  // nothing to skip
        EXPECT_FALSE(reader.acceptPage(hostile, log));
    }).log;
    EXPECT_NE(text.find("  cupsColorSpace: 18432\n"), std::string::npos);
    EXPECT_NE(text.find("  MediaType: " + std::string(64, 'x') + "\n"), std::string::npos);
}

}  // namespace
