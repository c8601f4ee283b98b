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

std::vector<QueueOfPrinter> queuesToKeep(const std::vector<QueueOfPrinter>& listed,
                                         const std::vector<std::string>& connecting)
{
    std::vector<QueueOfPrinter> kept;
    for (const QueueOfPrinter& entry : listed)
        if (passesWhitelist(entry.printer) &&
            std::find(connecting.begin(), connecting.end(), entry.printer) == connecting.end() &&
            std::none_of(kept.begin(), kept.end(), [&](const QueueOfPrinter& k) { return k.queue == entry.queue; }))
            kept.push_back(entry);
    return kept;
}

std::vector<std::string> queuesOf(const std::string& printer, const std::vector<QueueOfPrinter>& listed,
                                  const std::vector<std::string>& queues)
{
    std::vector<std::string> found;
    const auto add = [&](const std::string& queue) {
        if (std::find(found.begin(), found.end(), queue) == found.end())
            found.push_back(queue);
    };
    if (std::find(queues.begin(), queues.end(), printer) != queues.end())
        add(printer);
    for (const QueueOfPrinter& entry : listed)
        if (entry.printer == printer)
            add(entry.queue);
    return found;
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
