// Reads the pages of a CUPS raster stream as 8-bit grey samples, refusing pages it cannot hold.
#include "filter/RasterPageReader.h"

#include "filter/FilterLog.h"

#include <algorithm>
#include <new>

namespace filter {

namespace {

// Skipped data passes through a buffer of this size, whatever a row's length.
constexpr std::size_t kSkipChunkBytes = 64 * 1024;

}  // namespace

void RasterPageReader::Buffer::ensure(std::size_t size)
{
    if (size <= capacity_)
        return;
    data_.reset();  // the old contents are not needed: free first, so peak memory is one buffer
    capacity_ = 0;
    data_.reset(new std::uint8_t[size]);
    capacity_ = size;
}

RasterPageReader::RasterPageReader(cups_raster_t* raster) : raster_(raster) {}

bool RasterPageReader::readHeader(cups_page_header2_t& header)
{
    if (cupsRasterReadHeader2(raster_, &header) == 0)
        return false;
    ++headersRead_;
    return true;
}

bool RasterPageReader::acceptPage(const cups_page_header2_t& header, FILE* log)
{
    const std::uint64_t width = header.cupsWidth;
    const std::uint64_t height = header.cupsHeight;
    const std::uint64_t bytesPerLine = header.cupsBytesPerLine;
    if (width == 0 || height == 0) {
        printLog(log, "Invalid page header: %ux%u pixels; page skipped.\n", header.cupsWidth, header.cupsHeight);
    } else if (width * height > kMaxPageBytes || bytesPerLine * height > kMaxPageBytes) {
        printLog(log, "Page too large: %ux%u pixels, %u bytes per line, over the limit of %llu bytes; page skipped.\n",
                 header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine,
                 static_cast<unsigned long long>(kMaxPageBytes));
    } else if (classifyLayout(header) == PixelLayout::Unsupported) {
        printLog(log,
                 "Unsupported raster layout: color space %u, %u bits per color, %u bits per pixel, order %u, "
                 "%u bytes per line for %u pixels; page skipped.\n",
                 rawColorSpace(header), header.cupsBitsPerColor, header.cupsBitsPerPixel,
                 rawColorOrder(header), header.cupsBytesPerLine, header.cupsWidth);
    } else {
        return true;
    }
    skipPage(header);
    return false;
}

bool RasterPageReader::allocatePage(const cups_page_header2_t& header)
{
    try {
        page_.ensure(std::size_t{header.cupsWidth} * header.cupsHeight);
        row_.ensure(header.cupsBytesPerLine);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool RasterPageReader::readPage(const cups_page_header2_t& header, FILE* log)
{
    const PixelLayout layout = classifyLayout(header);
    const std::size_t width = header.cupsWidth;
    const unsigned bytesPerLine = header.cupsBytesPerLine;
    // Grey rows are the samples already: they go straight into the page.
    const bool direct = layout == PixelLayout::Grey8 && bytesPerLine == width;
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
        std::uint8_t* samples = page_.data() + y * width;
        if (cupsRasterReadPixels(raster_, direct ? samples : row_.data(), bytesPerLine) != bytesPerLine) {
            printLog(log, "Raster data ended inside the page after %u of %u rows; page skipped.\n", y,
                     header.cupsHeight);
            cutPage_ = headersRead_;
            return false;
        }
        if (!direct)
            convertRowToGrey(layout, row_.data(), width, samples);
    }
    ++pagesRead_;
    return true;
}

int RasterPageReader::finish() const
{
    if (cutPage_ == 0)
        return 0;
    if (pagesRead_ > 0) {
        std::fprintf(stderr, "WARNING: The print data ended inside page %u; that page was not printed\n", cutPage_);
        return 0;
    }
    std::fprintf(stderr, "ERROR: The print data ended inside page %u; nothing was printed\n", cutPage_);
    return 1;
}

void RasterPageReader::skipPage(const cups_page_header2_t& header)
{
    std::uint64_t left = std::uint64_t{header.cupsBytesPerLine} * header.cupsHeight;
    std::uint8_t chunk[kSkipChunkBytes];
    while (left > 0) {
        const unsigned want = static_cast<unsigned>(std::min<std::uint64_t>(left, sizeof chunk));
        if (cupsRasterReadPixels(raster_, chunk, want) != want)
            return;
        left -= want;
    }
}

}  // namespace filter
