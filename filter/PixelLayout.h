// The raster page layouts the filters accept and their conversion to 8-bit grey samples.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace filter {

// The numbers in a header's colour-space and colour-order fields. A header comes from outside
// and may hold any number there; loading such a field as its enum type would be undefined.
inline unsigned rawColorSpace(const cups_page_header2_t& header)
{
    static_assert(sizeof header.cupsColorSpace == sizeof(unsigned));
    unsigned value;
    std::memcpy(&value, &header.cupsColorSpace, sizeof value);
    return value;
}

inline unsigned rawColorOrder(const cups_page_header2_t& header)
{
    static_assert(sizeof header.cupsColorOrder == sizeof(unsigned));
    unsigned value;
    std::memcpy(&value, &header.cupsColorOrder, sizeof value);
    return value;
}

// How a page's rows are laid out. The filters work on 8-bit grey, 0 black and 255 white.
enum class PixelLayout {
    Grey8,     // 8-bit luminance (W, SW): taken as it is
    Black8,    // 8-bit K: 255 is black
    White1,    // 1-bit luminance (W, SW): a 1 bit is white
    Black1,    // 1-bit K: a 1 bit is black
    Rgb24,     // 8-bit chunky RGB (RGB, sRGB, Adobe RGB): luma
    Unsupported,
};

// The layout of a page from its header; Unsupported for every other combination of colour
// space, bits per colour, bits per pixel and colour order, and when cupsBytesPerLine is too
// short for cupsWidth pixels.
PixelLayout classifyLayout(const cups_page_header2_t& header);

// The bytes one row of `width` pixels needs in `layout` (Unsupported: 0).
std::size_t rowBytesNeeded(PixelLayout layout, std::size_t width);

// Converts one row of `width` pixels from `src` (at least rowBytesNeeded bytes) to `width`
// grey samples in `dst`. RGB uses the ITU-R BT.601 luma weights, rounded to nearest:
// (299 R + 587 G + 114 B + 500) / 1000, so equal R, G and B keep their value.
void convertRowToGrey(PixelLayout layout, const std::uint8_t* src, std::size_t width, std::uint8_t* dst);

}  // namespace filter
