// The printer models the agent handles: its whitelist, in its fixed order with duplicates.
#pragma once

#include <array>
#include <string_view>

namespace quorvel {

// Matched as plain, case-sensitive strings: the queue checker tests a name against each row
// both ways as a substring, the BLE discovery filter as a prefix. The order and the
// duplicates are kept as the models were added; do not sort or deduplicate.
inline constexpr std::array<std::string_view, 26> kWhitelist = {
    "QMT53",   "QMT53H", "ZOR22",   "HM_ZOR21", "HM_ZOR22", "QMV27", "HM_ZOR22", "WMV24", "HM_B58",
    "QMV24",   "HM_E58", "HM_5846", "QMF58",    "QMT53",    "HM_T59S", "VQB7H", "KRV38",  "HM_W7",
    "HM_E7S",  "HM_E7",  "VQN4",    "KRT61",    "KRT64",    "BX9",     "BX940", "YF-316",
};

// The first row that `name` begins with; empty when none does.
constexpr std::string_view whitelistPrefixOf(std::string_view name) {
    for (std::string_view row : kWhitelist)
        if (name.starts_with(row)) return row;
    return {};
}

}  // namespace quorvel
