// The print-data text of a job: lower-case hexadecimal encoding and decoding.
#include "common/HexText.h"

namespace pb {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
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
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        int high = hexDigitValue(text[2 * i]);
        int low = hexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>((high << 4) | low);
    }
    return bytes;
}

}  // namespace pb
