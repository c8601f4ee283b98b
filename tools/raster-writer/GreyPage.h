// Grey pages for the raster writer: read from PGM (P5) files or generated as test patterns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rasterwriter {

// The most samples one page may have; larger PGM images and patterns are refused.
inline constexpr std::size_t kMaxPageSamples = std::size_t{1} << 28;

// width x height samples, 0 black and 255 white, rows back to back.
struct GreyPage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> samples;

    std::uint8_t at(int x, int y) const { return samples[static_cast<std::size_t>(y) * width + x]; }
};

// Reads every P5 image in `bytes` (a file may hold several back to back), each one page;
// samples with a maximum value other than 255 are scaled to 0..255, rounded. On a
// malformed or oversized image returns nothing and says why in `error`.
std::optional<std::vector<GreyPage>> parsePgm(std::string_view bytes, std::string& error);

// The P5 encoding of `page` (maximum value 255).
std::string encodePgm(const GreyPage& page);

enum class Pattern {
    Sample,    // bold shapes, fine lines and a grey gradient: a page that shows what a filter does
    Gradient,  // black at the left to white at the right
    White,
    Black,
    Checker,   // 8 x 8 pixel squares, black first
};

// The pattern named "sample", "gradient", "white", "black" or "checker"; nothing otherwise.
std::optional<Pattern> patternFromName(std::string_view name);

// A width x height page of `pattern`; sizes must be positive and within kMaxPageSamples.
GreyPage generatePattern(Pattern pattern, int width, int height);

}  // namespace rasterwriter
