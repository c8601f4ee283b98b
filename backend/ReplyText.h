// Reading the agent's reply texts as key/value pairs; no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace backend {

// "progress SENT/TOTAL": bytes of the job written to the printer so far, of all of them.
struct ByteProgress {
    std::uint64_t sent = 0;
    std::uint64_t total = 0;

    bool operator==(const ByteProgress&) const = default;
};

struct ReplyAction {
    enum class Kind {
        QueryCallback,     // value: the printer name
        Status,            // value: the status word, as received; with the details after it
        UnknownKey,        // value: the key
        InvalidFormat,     // fewer than two words; nothing else follows
        MissingParameter,  // value: the key that lost its value; nothing else follows
        MalformedValue,    // value: "KEY VALUE" of a detail whose value is not well formed
        DetachedDetail,    // value: "KEY VALUE" of a detail with no status before it
    };
    ReplyAction(Kind kind, std::string value = {}) : kind(kind), value(std::move(value)) {}

    Kind kind;
    std::string value;
    // Status only: the "progress" and "pages" pairs that followed it in the same text, before
    // the next status (the last one wins when a key comes twice).
    std::optional<ByteProgress> progress;
    std::optional<std::uint64_t> pages;

    bool operator==(const ReplyAction&) const = default;
};

// Numbers in reports are plain decimal digits, at most this many: far beyond any job, and small
// enough that a percentage of them cannot overflow.
inline constexpr std::size_t kMaxReportDigits = 15;

// Words (split on spaces) taken in pairs, in order. A final key without a value gives
// MissingParameter when it is a key we know, and UnknownKey otherwise. "progress" takes
// SENT/TOTAL with SENT at most TOTAL, "pages" a count; anything else is MalformedValue.
std::vector<ReplyAction> parseReplyText(std::string_view text);

// Where the last whole key/value pair of `text` ends (just past the space after its value), so
// that an overlong text can be handled in part without cutting a pair; 0 when no pair is whole.
std::size_t endOfWholePairs(std::string_view text);

}  // namespace backend
