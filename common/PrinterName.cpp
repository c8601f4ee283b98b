#include "common/PrinterName.h"

#include "common/Words.h"

#include <array>
#include <cstdint>
#include <utility>

namespace pb {

namespace {

// Inclusive ranges of code points a name may not hold.
constexpr std::array<std::pair<char32_t, char32_t>, 27> kRefused = {{
    {0x0000, 0x001F}, {0x007F, 0x00A0},  // C0, DEL, C1, no-break space
    {0x00AD, 0x00AD},                    // soft hyphen
    {0x034F, 0x034F},                    // combining grapheme joiner
    {0x061C, 0x061C},                    // Arabic letter mark
    {0x115F, 0x1160}, {0x17B4, 0x17B5}, {0x180B, 0x180F},  // fillers, Khmer vowels, Mongolian selectors
    {0x2000, 0x200F},                    // spaces, zero-width characters, LRM, RLM
    {0x2028, 0x202F},                    // line and paragraph separators, bidi embeddings, narrow NBSP
    {0x205F, 0x206F},                    // medium space, word joiner, invisible operators, bidi isolates
    {0x2800, 0x2800},                    // braille blank
    {0x3000, 0x3000}, {0x3164, 0x3164},  // ideographic space, Hangul filler
    {0xD800, 0xDFFF},                    // surrogates
    {0xE000, 0xF8FF},                    // private use
    {0xFDD0, 0xFDEF},                    // noncharacters
    {0xFE00, 0xFE0F},                    // variation selectors
    {0xFEFF, 0xFEFF},                    // byte order mark
    {0xFFA0, 0xFFA0},                    // halfwidth Hangul filler
    {0xFFF0, 0xFFFF},                    // specials, interlinear annotations
    {0x1BCA0, 0x1BCA3},                  // shorthand format controls
    {0x1D173, 0x1D17A},                  // musical format controls
    {0xE0000, 0xE0FFF},                  // tags, variation selectors supplement
    {0xF0000, 0x10FFFF},                 // private use planes
    {0x1FFFE, 0x1FFFF}, {0x2FFFE, 0x2FFFF},  // plane-end noncharacters (the rest lie in refused planes)
}};

bool isRefused(char32_t code)
{
    for (const auto& [first, last] : kRefused)
        if (code >= first && code <= last)
            return true;
    return false;
}

// The code point starting at `at` in valid UTF-8, and its length.
std::pair<char32_t, std::size_t> decodeAt(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (std::size_t i = 1; i < length; ++i)
        code = (code << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    return {code, length};
}

std::string hexOf(char32_t code)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string digits;
    for (int shift = code > 0xFFFF ? 20 : 12; shift >= 0; shift -= 4)
        digits += kDigits[(code >> shift) & 0xF];
    return "U+" + digits;
}

}  // namespace

std::optional<std::string> whyUnfitPrinterName(std::string_view name)
{
    if (name.empty())
        return "the name is empty";
    if (name.size() > kMaxPrinterNameBytes)
        return "the name is " + std::to_string(name.size()) + " bytes long, over the limit of " +
               std::to_string(kMaxPrinterNameBytes);
    if (!isValidUtf8(name))
        return "the name is not UTF-8 text";
    for (std::size_t at = 0; at < name.size();) {
        const auto [code, length] = decodeAt(name, at);
        if (isRefused(code))
            return "the name holds the control or invisible character " + hexOf(code);
        at += length;
    }
    return std::nullopt;
}

}  // namespace pb
