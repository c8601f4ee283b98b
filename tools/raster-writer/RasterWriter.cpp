// CUPS raster streams written with libcups from grey pages, in the layouts the filters read.
#include "tools/raster-writer/RasterWriter.h"

#include <cstring>

namespace rasterwriter {

namespace {

constexpr float kPointsPerInch = 72.0f;

struct LayoutShape {
    cups_cspace_t colorSpace;
    unsigned bitsPerColor;
    unsigned bitsPerPixel;
    unsigned numColors;
};

LayoutShape shapeOf(RasterLayout layout)
{
    switch (layout) {
    case RasterLayout::Grey1:
        return {CUPS_CSPACE_W, 1, 1, 1};
    case RasterLayout::Black8:
        return {CUPS_CSPACE_K, 8, 8, 1};
    case RasterLayout::Black1:
        return {CUPS_CSPACE_K, 1, 1, 1};
    case RasterLayout::Rgb24:
        return {CUPS_CSPACE_RGB, 8, 24, 3};
    case RasterLayout::Grey8:
        break;
    }
    return {CUPS_CSPACE_W, 8, 8, 1};
}

void encodeRow(const std::uint8_t* grey, int width, RasterLayout layout, std::uint8_t* row)
{
    for (int x = 0; x < width; ++x) {
        const std::uint8_t g = grey[x];
        switch (layout) {
        case RasterLayout::Grey8:
            row[x] = g;
            break;
        case RasterLayout::Black8:
            row[x] = static_cast<std::uint8_t>(255 - g);
            break;
        case RasterLayout::Grey1:
        case RasterLayout::Black1:
            if ((g >= 128) == (layout == RasterLayout::Grey1))
                row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | (0x80u >> (x % 8)));
            break;
        case RasterLayout::Rgb24:
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = g;
            break;
        }
    }
}

}  // namespace

std::optional<RasterLayout> layoutFromName(std::string_view name)
{
    if (name == "grey8")
        return RasterLayout::Grey8;
    if (name == "grey1")
        return RasterLayout::Grey1;
    if (name == "k8")
        return RasterLayout::Black8;
    if (name == "k1")
        return RasterLayout::Black1;
    if (name == "rgb24")
        return RasterLayout::Rgb24;
    return std::nullopt;
}

cups_page_header2_t makeHeader(int width, int height, RasterLayout layout, unsigned dpi)
{
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    const LayoutShape shape = shapeOf(layout);
    std::strcpy(header.MediaClass, "PwgRaster");
    header.HWResolution[0] = header.HWResolution[1] = dpi;
    header.NumCopies = 1;
    header.cupsWidth = static_cast<unsigned>(width);
    header.cupsHeight = static_cast<unsigned>(height);
    header.cupsColorSpace = shape.colorSpace;
    header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    header.cupsBitsPerColor = shape.bitsPerColor;
    header.cupsBitsPerPixel = shape.bitsPerPixel;
    header.cupsNumColors = shape.numColors;
    header.cupsBytesPerLine = (header.cupsWidth * shape.bitsPerPixel + 7) / 8;
    const float widthPoints = static_cast<float>(width) * kPointsPerInch / static_cast<float>(dpi);
    const float heightPoints = static_cast<float>(height) * kPointsPerInch / static_cast<float>(dpi);
    header.PageSize[0] = static_cast<unsigned>(widthPoints);
    header.PageSize[1] = static_cast<unsigned>(heightPoints);
    header.cupsPageSize[0] = widthPoints;
    header.cupsPageSize[1] = heightPoints;
    header.cupsImagingBBox[2] = widthPoints;
    header.cupsImagingBBox[3] = heightPoints;
    return header;
}

RasterPage encodePage(const GreyPage& page, RasterLayout layout, unsigned dpi)
{
    RasterPage raster{makeHeader(page.width, page.height, layout, dpi), {}};
    const std::size_t bytesPerLine = raster.header.cupsBytesPerLine;
    raster.data.assign(bytesPerLine * static_cast<std::size_t>(page.height), 0);
    for (int y = 0; y < page.height; ++y)
        encodeRow(page.samples.data() + static_cast<std::size_t>(y) * page.width, page.width, layout,
                  raster.data.data() + static_cast<std::size_t>(y) * bytesPerLine);
    return raster;
}

bool writeRaster(int fd, const std::vector<RasterPage>& pages, bool compressed)
{
    cups_raster_t* raster = cupsRasterOpen(fd, compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
    if (raster == nullptr)
        return false;
    bool ok = true;
    for (const RasterPage& page : pages) {
        cups_page_header2_t header = page.header;
        if (!cupsRasterWriteHeader2(raster, &header)) {
            ok = false;
            break;
        }
        std::vector<std::uint8_t> data = page.data;  // libcups takes a non-const pointer
        const unsigned length = static_cast<unsigned>(data.size());
        if (length > 0 && cupsRasterWritePixels(raster, data.data(), length) != length) {
            ok = false;
            break;
        }
    }
    cupsRasterClose(raster);
    return ok;
}

}  // namespace rasterwriter
