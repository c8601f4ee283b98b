// The print-data text of a job: lower-case hexadecimal encoding and decoding.
#include "common/HexText.h"

#include "common/HugePages.h"

#include <array>

namespace pb {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// The value of every byte as a hex digit, -1 for the others: a job's text is decoded without
// a branch per character that random data would mispredict.
constexpr std::array<std::int8_t, 256> kDigitValues = [] {
    std::array<std::int8_t, 256> values{};
    values.fill(-1);
    for (int digit = 0; digit < 10; ++digit)
        values['0' + digit] = static_cast<std::int8_t>(digit);
    for (int digit = 0; digit < 6; ++digit) {
        values['a' + digit] = static_cast<std::int8_t>(10 + digit);
        values['A' + digit] = static_cast<std::int8_t>(10 + digit);
    }
    return values;
}();

}  // namespace

int hexDigitValue(char c)
{
    return kDigitValues[static_cast<unsigned char>(c)];
}

void appendHex(std::span<const std::uint8_t> bytes, std::string& text)
{
    std::size_t offset = text.size();
    text.resize(offset + bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        text[offset++] = kDigits[byte >> 4];
        text[offset++] = kDigits[byte & 0x0F];
    }
}

std::string encodeHex(std::span<const std::uint8_t> bytes)
{
    std::string text;
    appendHex(bytes, text);
    return text;
}

std::optional<std::vector<std::uint8_t>> decodeHex(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    adviseHugePages(bytes.data(), bytes.capacity());
    bytes.resize(text.size() / 2);
    // Bad digits are collected and checked once at the end: the loop stays free of branches.
    int bad = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = hexDigitValue(text[2 * i]);
        const int low = hexDigitValue(text[2 * i + 1]);
        bad |= high | low;
        bytes[i] = static_cast<std::uint8_t>((high << 4) | low);
    }
    if (bad < 0)
        return std::nullopt;
    return bytes;
}

}  // namespace pb
