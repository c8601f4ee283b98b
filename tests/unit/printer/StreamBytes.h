// Test helpers that spell printer command streams as hexadecimal text.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace printer::test {

using Bytes = std::vector<std::uint8_t>;

// "10 FF F1 03" -> {0x10, 0xFF, 0xF1, 0x03}; spaces are ignored.
inline Bytes hex(std::string_view text)
{
    Bytes bytes;
    std::string digits;
    for (char c : text) {
        if (c == ' ')
            continue;
        digits += c;
        if (digits.size() == 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::strtoul(digits.c_str(), nullptr, 16)));
            digits.clear();
        }
    }
    return bytes;
}

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes repeated(std::uint8_t value, std::size_t count)
{
    return Bytes(count, value);
}

}  // namespace printer::test
