// Splitting channel texts into words and trimming names; no I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pb {

// Splits on the space character only; runs of spaces and leading or trailing spaces give no
// empty words. Tabs, carriage returns and line feeds stay inside the word they touch.
std::vector<std::string> splitWords(std::string_view text);

// Removes ASCII white space (space, tab, line feed, carriage return, vertical tab, form feed)
// from both ends.
std::string_view trimWhitespace(std::string_view text);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view text);

// The first `count` characters of UTF-8 text (bytes of a broken sequence count one each), so a
// cut for a log line never splits a character.
std::string_view utf8Prefix(std::string_view text, std::size_t count);

}  // namespace pb
