// A page as the virtual printer received it: the rows of one print-image command.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace printer {

// Rows of one bit per dot, packed as the stream carries them: bytesPerRow bytes per row,
// leftmost dot in the most significant bit, 1 = black.
struct DecodedPage {
    std::uint64_t number = 0;         // 1 for the stream's first print image, ...
    std::uint32_t bytesPerRow = 0;    // x of the header
    std::uint32_t announcedRows = 0;  // y of the header
    // The rows that arrived. A truncated page keeps its complete rows and, when part of a
    // row arrived, that row padded with zero (white) bytes; its rows() < announcedRows.
    std::vector<std::uint8_t> packed;
    std::uint64_t receivedBytes = 0;  // image bytes that arrived, before any padding
    bool truncated = false;

    std::uint32_t widthPixels() const { return 8 * bytesPerRow; }
    // Rows held in `packed`; 0 for an empty page (zero width or height announced).
    std::uint32_t rows() const;
    bool empty() const { return packed.empty(); }
    // Row `y` (< rows()) as packed bytes.
    std::span<const std::uint8_t> row(std::uint32_t y) const;
    // True when the dot at (x, y) is black; x < widthPixels(), y < rows().
    bool black(std::uint32_t x, std::uint32_t y) const;

    bool operator==(const DecodedPage&) const = default;
};

}  // namespace printer
