// Splitting channel texts into words and trimming names.
#include "common/Words.h"

#include <cstdint>

namespace pb {

std::vector<std::string> splitWords(std::string_view text)
{
    std::vector<std::string> words;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t start = text.find_first_not_of(' ', position);
        if (start == std::string_view::npos)
            break;
        std::size_t end = text.find(' ', start);
        if (end == std::string_view::npos)
            end = text.size();
        words.emplace_back(text.substr(start, end - start));
        position = end;
    }
    return words;
}

std::string_view trimWhitespace(std::string_view text)
{
    constexpr std::string_view kWhitespace = " \t\n\r\v\f";
    std::size_t start = text.find_first_not_of(kWhitespace);
    if (start == std::string_view::npos)
        return {};
    std::size_t end = text.find_last_not_of(kWhitespace);
    return text.substr(start, end - start + 1);
}

bool isValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    const std::size_t size = text.size();
    while (i < size) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t length = 0;
        std::uint32_t value = 0;
        std::uint32_t minimum = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            value = (value << 6) | (next & 0x3F);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

std::string_view utf8Prefix(std::string_view text, std::size_t count)
{
    std::size_t end = 0;
    for (std::size_t characters = 0; end < text.size() && characters < count; ++characters) {
        ++end;
        while (end < text.size() && (static_cast<std::uint8_t>(text[end]) & 0xC0) == 0x80)
            ++end;
    }
    return text.substr(0, end);
}

}  // namespace pb
