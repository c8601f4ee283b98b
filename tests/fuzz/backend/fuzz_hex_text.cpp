// Fuzzes hex text decoding, and checks that encoding what was decoded gives the text back.
#include "common/HexText.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    auto bytes = pb::decodeHex(text);
    if (!bytes)
        return 0;
    std::string lower = text;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (pb::encodeHex(*bytes) != lower)
        std::abort();
    return 0;
}
