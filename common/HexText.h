// The print-data text of a job: its bytes as lower-case hexadecimal, two digits per byte, no
// separator. No I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

// Appends the hex text of `bytes` to `text`. The caller reserves room when it cares about
// reallocation (a job may be large).
void appendHex(std::span<const std::uint8_t> bytes, std::string& text);

std::string encodeHex(std::span<const std::uint8_t> bytes);

// Decodes hex text, accepting upper- and lower-case digits. Empty text gives no bytes; an odd
// length or any other character gives nullopt.
std::optional<std::vector<std::uint8_t>> decodeHex(std::string_view text);

// The value of one hexadecimal digit (either case), or -1 for any other character.
int hexDigitValue(char c);

}  // namespace pb
