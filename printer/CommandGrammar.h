// The printer's command grammar: the byte patterns the virtual printer recognises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace printer {

// Every item the decoder reports. Unknown and StrayZeros cover bytes it does not understand.
enum class CommandKind : std::uint8_t {
    Enable,          // 10 FF F1 03
    Disable,         // 10 FF F1 45
    Darkness,        // 10 FF 10 00 nn
    MediaType,       // 1F 80 ss cc, ss = 01 or 02
    LineFeed,        // 0A (follows each media-type command)
    ExitPaper,       // 1F 11 51
    PrintImage,      // 1D 76 30 00 xL xH yL yH, then x * y bytes of rows
    LabelFeed,       // 1D 0C
    ContinuousFeed,  // 1B 4A n
    EndJob,          // 1B BB BB
    SetKey,          // 1B 1C "& V1 setkey" 0D 0A 01 CE 00 01 00
    SaveParameters,  // 1B 1C "& V1 do \"save_param_zone\"" 0D 0A
    BlankPreamble,   // exactly 128 bytes of 00
    StrayZeros,      // a run of 00 bytes of any other length
    Unknown,         // a run of bytes that start no command
};

// The short name used in command listings ("print-image", "unknown", ...).
std::string_view commandName(CommandKind kind);

inline constexpr std::size_t kBlankPreambleLength = 128;
inline constexpr std::size_t kPrintImageHeaderLength = 8;
// The longest pattern (save parameters); a command prefix never grows beyond it.
inline constexpr std::size_t kLongestPattern = 29;

// What the bytes seen so far say about the command they begin.
enum class PatternVerdict : std::uint8_t {
    Incomplete,  // a proper prefix of at least one pattern: wait for more bytes
    Complete,    // exactly one whole pattern (patterns are prefix-free)
    NoMatch,     // no pattern begins this way
};

struct PatternMatch {
    PatternVerdict verdict = PatternVerdict::NoMatch;
    CommandKind kind = CommandKind::Unknown;  // meaningful when Complete
};

// Matches `prefix` (1 to kLongestPattern bytes, starting at a command boundary) against
// every pattern. Zero bytes and the image rows after a print-image header are not
// patterns: the decoder handles those runs itself.
PatternMatch matchCommand(std::span<const std::uint8_t> prefix);

// True when `byte` can begin a pattern; lets the decoder pass over unknown runs quickly.
constexpr bool canStartCommand(std::uint8_t byte)
{
    // Every pattern begins with a byte below 0x20, so one 32-bit mask answers for all.
    constexpr std::uint32_t kStartBytes = 1u << 0x0A | 1u << 0x10 | 1u << 0x1B | 1u << 0x1D | 1u << 0x1F;
    return byte < 32 && (kStartBytes >> byte & 1u) != 0;
}

}  // namespace printer
