// Reading the agent's reply texts as key/value pairs.
#include "backend/ReplyText.h"

#include "common/Channel.h"
#include "common/Words.h"

namespace backend {

namespace {

std::optional<std::uint64_t> parseCount(std::string_view text)
{
    if (text.empty() || text.size() > kMaxReportDigits)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::optional<ByteProgress> parseProgress(std::string_view text)
{
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const auto sent = parseCount(text.substr(0, slash));
    const auto total = parseCount(text.substr(slash + 1));
    if (!sent || !total || *sent > *total)
        return std::nullopt;
    return ByteProgress{*sent, *total};
}

bool isKnownKey(std::string_view key)
{
    return key == pb::kQueryCallbackWord || key == pb::kStatusWord || key == pb::kProgressKey ||
           key == pb::kPagesKey;
}

// Attaches a "progress" or "pages" pair to the last status, or says why it cannot.
void addDetail(std::vector<ReplyAction>& actions, const std::string& key, const std::string& value)
{
    using Kind = ReplyAction::Kind;
    ReplyAction* status = nullptr;
    for (auto it = actions.rbegin(); it != actions.rend() && !status; ++it)
        if (it->kind == Kind::Status)
            status = &*it;
    const auto progress = key == pb::kProgressKey ? parseProgress(value) : std::nullopt;
    const auto pages = key == pb::kPagesKey ? parseCount(value) : std::nullopt;
    if (!progress && !pages)
        actions.push_back({Kind::MalformedValue, key + " " + value});
    else if (!status)
        actions.push_back({Kind::DetachedDetail, key + " " + value});
    else if (progress)
        status->progress = progress;
    else
        status->pages = pages;
}

}  // namespace

std::vector<ReplyAction> parseReplyText(std::string_view text)
{
    using Kind = ReplyAction::Kind;
    const std::vector<std::string> words = pb::splitWords(text);
    if (words.size() < 2)
        return {{Kind::InvalidFormat, {}}};
    std::vector<ReplyAction> actions;
    for (std::size_t i = 0; i < words.size(); i += 2) {
        const std::string& key = words[i];
        if (isKnownKey(key) && i + 1 == words.size()) {
            actions.push_back({Kind::MissingParameter, key});
            break;
        }
        if (key == pb::kQueryCallbackWord)
            actions.push_back({Kind::QueryCallback, words[i + 1]});
        else if (key == pb::kStatusWord)
            actions.push_back({Kind::Status, words[i + 1]});
        else if (key == pb::kProgressKey || key == pb::kPagesKey)
            addDetail(actions, key, words[i + 1]);
        else
            actions.push_back({Kind::UnknownKey, key});
    }
    return actions;
}

std::size_t endOfWholePairs(std::string_view text)
{
    std::size_t end = 0, words = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t start = text.find_first_not_of(' ', at);
        if (start == std::string_view::npos)
            break;
        const std::size_t space = text.find(' ', start);
        if (space == std::string_view::npos)
            break;  // the last word may go on in the next read
        if (++words % 2 == 0)
            end = space + 1;
        at = space + 1;
    }
    return end;
}

}  // namespace backend
