// Reading `lpstat -p` output into queue states.
#include "quorvel/QueueStateList.h"

#include <algorithm>
#include <array>
#include <utility>

namespace quorvel {

namespace {

constexpr std::string_view kLinePrefix = "printer ";

// What follows "printer Q" on a line about queue Q. The date after "since" is not read: its
// form depends on the locale and the time zone, and nothing here needs it.
constexpr std::array<std::pair<std::string_view, QueueState>, 4> kStatePhrases{{
    {" is idle.", QueueState::idle},
    {" is holding new jobs.", QueueState::idle},
    {" now printing ", QueueState::printing},
    {" disabled since ", QueueState::stopped},
}};

// The queue and its state from one line; empty for any other line.
std::optional<std::pair<std::string_view, QueueState>> parseLine(std::string_view line)
{
    if (!line.starts_with(kLinePrefix))
        return std::nullopt;
    const std::string_view rest = line.substr(kLinePrefix.size());
    // Queue names hold no blanks or control characters.
    const auto end = rest.find_first_of(" \t");
    if (end == 0 || end == std::string_view::npos)
        return std::nullopt;
    const std::string_view queue = rest.substr(0, end);
    const std::string_view phrase = rest.substr(end);
    for (const auto& [text, state] : kStatePhrases)
        if (phrase.starts_with(text))
            return std::pair{queue, state};
    return std::nullopt;
}

}  // namespace

const char* queueStateWord(QueueState state)
{
    switch (state) {
    case QueueState::idle:
        return "idle";
    case QueueState::printing:
        return "printing";
    case QueueState::stopped:
        return "stopped";
    }
    return "unknown";
}

QueueStateList QueueStateList::parse(std::string_view output)
{
    QueueStateList list;
    if (output.size() > kMaxOutputBytes)
        return list;
    while (!output.empty()) {
        const auto end = std::min(output.find_first_of("\r\n"), output.size());
        if (const auto parsed = parseLine(output.substr(0, end)))
            list.states_.try_emplace(std::string(parsed->first), parsed->second);
        output.remove_prefix(std::min(end + 1, output.size()));
    }
    return list;
}

std::optional<QueueState> QueueStateList::stateOf(std::string_view queue) const
{
    const auto found = states_.find(queue);
    if (found == states_.end())
        return std::nullopt;
    return found->second;
}

}  // namespace quorvel
