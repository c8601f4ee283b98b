// The raster page layouts the filters accept and their conversion to 8-bit grey samples.
#include "filter/PixelLayout.h"


namespace filter {

namespace {

bool isLuminance(unsigned space)
{
    return space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW;
}

bool isRgb(unsigned space)
{
    return space == CUPS_CSPACE_RGB || space == CUPS_CSPACE_SRGB || space == CUPS_CSPACE_ADOBERGB;
}

PixelLayout layoutOf(const cups_page_header2_t& header)
{
    const unsigned space = rawColorSpace(header);
    const unsigned bitsPerColor = header.cupsBitsPerColor;
    const unsigned bitsPerPixel = header.cupsBitsPerPixel;
    if (bitsPerColor == 8 && bitsPerPixel == 8) {
        if (isLuminance(space))
            return PixelLayout::Grey8;
        if (space == CUPS_CSPACE_K)
            return PixelLayout::Black8;
    }
    if (bitsPerColor == 1 && bitsPerPixel == 1) {
        if (isLuminance(space))
            return PixelLayout::White1;
        if (space == CUPS_CSPACE_K)
            return PixelLayout::Black1;
    }
    if (bitsPerColor == 8 && bitsPerPixel == 24 && isRgb(space) && rawColorOrder(header) == CUPS_ORDER_CHUNKED)
        return PixelLayout::Rgb24;
    return PixelLayout::Unsupported;
}

}  // namespace

std::size_t rowBytesNeeded(PixelLayout layout, std::size_t width)
{
    switch (layout) {
    case PixelLayout::Grey8:
    case PixelLayout::Black8:
        return width;
    case PixelLayout::White1:
    case PixelLayout::Black1:
        return (width + 7) / 8;
    case PixelLayout::Rgb24:
        return width * 3;
    case PixelLayout::Unsupported:
        break;
    }
    return 0;
}

PixelLayout classifyLayout(const cups_page_header2_t& header)
{
    const PixelLayout layout = layoutOf(header);
    if (layout != PixelLayout::Unsupported && header.cupsBytesPerLine < rowBytesNeeded(layout, header.cupsWidth))
        return PixelLayout::Unsupported;
    return layout;
}

void convertRowToGrey(PixelLayout layout, const std::uint8_t* src, std::size_t width, std::uint8_t* dst)
{
    switch (layout) {
    case PixelLayout::Grey8:
        std::memcpy(dst, src, width);
        return;
    case PixelLayout::Black8:
        for (std::size_t x = 0; x < width; ++x)
            dst[x] = static_cast<std::uint8_t>(255 - src[x]);
        return;
    case PixelLayout::White1:
    case PixelLayout::Black1: {
        const std::uint8_t setBit = layout == PixelLayout::White1 ? 255 : 0;
        for (std::size_t x = 0; x < width; ++x) {
            const bool set = (src[x / 8] & (0x80u >> (x % 8))) != 0;
            dst[x] = set ? setBit : static_cast<std::uint8_t>(255 - setBit);
        }
        return;
    }
    case PixelLayout::Rgb24:
        for (std::size_t x = 0; x < width; ++x) {
            const unsigned r = src[3 * x], g = src[3 * x + 1], b = src[3 * x + 2];
            dst[x] = static_cast<std::uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
        }
        return;
    case PixelLayout::Unsupported:
        return;
    }
}

}  // namespace filter
