// Which printer names the suite accepts from the air and from the agent: names end up in CUPS
// device lines, queue names, log lines and a printer setup tool's list, where a name that hides
// characters could pass for another printer.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pb {

// The longest Bluetooth LE device name.
inline constexpr std::size_t kMaxPrinterNameBytes = 248;

// Why `name` is refused, or nothing when it is fit. Refused: empty; longer than
// kMaxPrinterNameBytes; not UTF-8; a control character (C0, DEL, C1); an invisible or
// look-alike character: spaces other than U+0020 (no-break, ideographic...), format and
// bidirectional controls (zero-width characters, U+202A-U+202E, U+2066-U+2069, ...), line and
// paragraph separators, fillers, variation selectors, tags, private use and noncharacters.
// Shell-like text ("$(id)", ";", "`") is plain data here and passes: nothing runs a shell.
std::optional<std::string> whyUnfitPrinterName(std::string_view name);

}  // namespace pb
