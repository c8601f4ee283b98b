// The arithmetic of one queue-list pass.
#include "quorvel/QueueListPass.h"

#include "quorvel/Whitelist.h"

#include <algorithm>

namespace quorvel {

namespace {

std::vector<std::string> missingFrom(const std::vector<std::string>& names, const std::vector<std::string>& other)
{
    std::vector<std::string> missing;
    for (const std::string& name : names)
        if (std::find(other.begin(), other.end(), name) == other.end())
            missing.push_back(name);
    return missing;
}

}  // namespace

QueueListChanges compareQueueLists(const std::vector<std::string>& listed, const std::vector<std::string>& recorded)
{
    return {missingFrom(listed, recorded), missingFrom(recorded, listed)};
}

std::vector<std::string> listRecordedAfterPass(const std::vector<std::string>& listed,
                                               const std::vector<std::string>& recorded,
                                               const QueueListChanges& changes, bool connectedAny)
{
    return connectedAny || !changes.removed.empty() ? listed : recorded;
}

std::vector<std::string> queuesToKeep(const std::vector<std::string>& listed, const std::vector<std::string>& queues,
                                      const std::vector<std::string>& connecting)
{
    std::vector<std::string> kept;
    const auto has = [](const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    for (const std::string& name : listed)
        if (passesWhitelist(name) && has(queues, name) && !has(connecting, name) && !has(kept, name))
            kept.push_back(name);
    return kept;
}

std::string quotedList(const std::vector<std::string>& names)
{
    std::string text = "[";
    for (const std::string& name : names)
        text += (text.size() > 1 ? ", \"" : "\"") + name + "\"";
    return text + "]";
}

bool passesWhitelist(const std::string& name)
{
    return std::any_of(kWhitelist.begin(), kWhitelist.end(), [&](std::string_view row) {
        return name.find(row) != std::string::npos || row.find(name) != std::string_view::npos;
    });
}

}  // namespace quorvel
