// One item of a decoded command stream: a command with its parameters, or flagged bytes.
#pragma once

#include "printer/CommandGrammar.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace printer {

// Why an item is flagged; None for a command understood completely.
enum class Problem : std::uint8_t {
    None,
    NotUnderstood,     // Unknown: bytes that begin no command, or a command cut off by the end
    StrayZeros,        // StrayZeros: a run of 00 bytes that is not a 128-byte blank preamble
    TruncatedImage,    // PrintImage: the stream ended before all announced rows arrived
    EmptyImage,        // PrintImage: a header announcing zero bytes per row or zero rows
    UnknownMediaCode,  // MediaType: a code other than 10, 20, 30, 40, 50
};

std::string_view problemText(Problem problem);

// How many leading bytes of an unknown run an item keeps for display.
inline constexpr std::size_t kUnknownSampleLength = 8;

struct DecodedCommand {
    CommandKind kind = CommandKind::Unknown;
    Problem problem = Problem::None;
    std::uint64_t offset = 0;  // stream offset of the item's first byte
    std::uint64_t length = 0;  // bytes the item covers, a print image's rows included

    // Parameters; each is meaningful only for the kinds named, and zero otherwise.
    std::uint8_t level = 0;          // Darkness: the level byte nn
    std::uint8_t mediaSelector = 0;  // MediaType: the third byte, 01 or 02
    std::uint8_t mediaCode = 0;      // MediaType: the code byte cc
    std::uint8_t feedDots = 0;       // ContinuousFeed: n of 1B 4A n
    std::uint16_t bytesPerRow = 0;   // PrintImage: x from the header
    std::uint16_t rows = 0;          // PrintImage: y from the header (as announced)
    std::uint64_t pageNumber = 0;    // PrintImage: 1 for the stream's first print image, ...
    // Unknown: the run's first min(length, kUnknownSampleLength) bytes.
    std::array<std::uint8_t, kUnknownSampleLength> sample{};

    bool flagged() const { return problem != Problem::None; }
    // Media index 0..4 for the codes 10..50, or -1 for any other code.
    int mediaIndex() const;

    bool operator==(const DecodedCommand&) const = default;
};

// One line for listings: offset, name and parameters, and the reason when flagged, e.g.
// "       140  print-image  384x533 (48 bytes x 533 rows) page 1".
std::string describeCommand(const DecodedCommand& command);

}  // namespace printer
