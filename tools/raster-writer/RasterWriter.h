// CUPS raster streams written with libcups from grey pages, in the layouts the filters read.
#pragma once

#include "tools/raster-writer/GreyPage.h"

#include <cups/raster.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace rasterwriter {

// How a page's samples are stored in the raster.
enum class RasterLayout {
    Grey8,   // 8-bit luminance (CUPS_CSPACE_W), the filters' own layout
    Grey1,   // 1-bit luminance: a 1 bit is white (grey >= 128)
    Black8,  // 8-bit K: 255 - grey
    Black1,  // 1-bit K: a 1 bit is black (grey < 128)
    Rgb24,   // 8-bit chunky RGB, the grey value in every channel
};

// "grey8", "grey1", "k8", "k1" or "rgb24"; nothing otherwise.
std::optional<RasterLayout> layoutFromName(std::string_view name);

inline constexpr unsigned kDefaultResolution = 203;

// A page as it goes into the raster: its header and cupsBytesPerLine x cupsHeight bytes.
struct RasterPage {
    cups_page_header2_t header;
    std::vector<std::uint8_t> data;
};

// A header for a width x height page in `layout` at `dpi` dots per inch, one copy, the page
// size in points matching the pixels.
cups_page_header2_t makeHeader(int width, int height, RasterLayout layout, unsigned dpi = kDefaultResolution);

// `page` encoded in `layout`.
RasterPage encodePage(const GreyPage& page, RasterLayout layout, unsigned dpi = kDefaultResolution);

// Writes the pages as one raster stream to `fd` (not closed) with cupsRasterOpen(fd,
// CUPS_RASTER_WRITE), or CUPS_RASTER_WRITE_COMPRESSED when `compressed`. False when libcups
// refuses the stream, a header or the pixels.
bool writeRaster(int fd, const std::vector<RasterPage>& pages, bool compressed = false);

}  // namespace rasterwriter
