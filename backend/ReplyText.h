// Reading the agent's reply texts as key/value pairs; no I/O.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace backend {

struct ReplyAction {
    enum class Kind {
        QueryCallback,     // value: the printer name
        Status,            // value: the status word, as received
        UnknownKey,        // value: the key
        InvalidFormat,     // fewer than two words; nothing else follows
        MissingParameter,  // value: the key that lost its value; nothing else follows
    };
    Kind kind;
    std::string value;

    bool operator==(const ReplyAction&) const = default;
};

// Words (split on spaces) taken in pairs, in order. A final key without a value gives
// MissingParameter when it is "querycallback" or "status", and UnknownKey otherwise.
std::vector<ReplyAction> parseReplyText(std::string_view text);

}  // namespace backend
