// Parsing and canonical rendering of attribute UUIDs.
#include "ble/Uuid.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace ble {

namespace {

constexpr std::string_view kBaseUuidTail = "-0000-1000-8000-00805F9B34FB";
constexpr std::size_t kFullLength = 36;

bool isHex(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string upper(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

bool isFullForm(std::string_view text) {
    if (text.size() != kFullLength) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : std::isxdigit(static_cast<unsigned char>(text[i])) == 0) return false;
    }
    return true;
}

}  // namespace

Uuid Uuid::from16(std::uint16_t shortUuid) {
    char text[5];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(shortUuid));
    return Uuid(text);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if ((text.size() == 4 || text.size() == 8) && isHex(text)) return Uuid(upper(text));
    if (!isFullForm(text)) return std::nullopt;
    std::string full = upper(text);
    if (std::string_view(full).substr(8) != kBaseUuidTail) return Uuid(full);
    // A base-UUID alias: shortest form, as the platform renders it.
    if (full.compare(0, 4, "0000") == 0) return Uuid(full.substr(4, 4));
    return Uuid(full.substr(0, 8));
}

}  // namespace ble
