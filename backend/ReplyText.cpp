// Reading the agent's reply texts as key/value pairs.
#include "backend/ReplyText.h"

#include "common/Channel.h"
#include "common/Words.h"

namespace backend {

std::vector<ReplyAction> parseReplyText(std::string_view text)
{
    using Kind = ReplyAction::Kind;
    const std::vector<std::string> words = pb::splitWords(text);
    if (words.size() < 2)
        return {{Kind::InvalidFormat, {}}};
    std::vector<ReplyAction> actions;
    for (std::size_t i = 0; i < words.size(); i += 2) {
        const std::string& key = words[i];
        const bool hasValue = i + 1 < words.size();
        const bool known = key == pb::kQueryCallbackWord || key == pb::kStatusWord;
        if (known && !hasValue) {
            actions.push_back({Kind::MissingParameter, key});
            break;
        }
        if (key == pb::kQueryCallbackWord)
            actions.push_back({Kind::QueryCallback, words[i + 1]});
        else if (key == pb::kStatusWord)
            actions.push_back({Kind::Status, words[i + 1]});
        else
            actions.push_back({Kind::UnknownKey, key});
    }
    return actions;
}

}  // namespace backend
