// The arithmetic of one queue-list pass: which printers' queues appeared or went since the
// list recorded last, and which list the pass records.
#pragma once

#include <string>
#include <vector>

namespace quorvel {

struct QueueListChanges {
    // Listed names equal to no recorded name, in list order; a name listed twice is taken twice.
    std::vector<std::string> added;
    // Recorded names equal to no listed name, in recorded order.
    std::vector<std::string> removed;
};

QueueListChanges compareQueueLists(const std::vector<std::string>& listed, const std::vector<std::string>& recorded);

// What a pass leaves recorded: the whole listed list once it connected a printer or handled a
// removal; otherwise the recorded list unchanged, so a printer whose connection failed (or
// that is not on the whitelist) counts as added again at the next pass.
std::vector<std::string> listRecordedAfterPass(const std::vector<std::string>& listed,
                                               const std::vector<std::string>& recorded,
                                               const QueueListChanges& changes, bool connectedAny);

// The names as one line: ["A", "B"].
std::string quotedList(const std::vector<std::string>& names);

// True when `name` contains a whitelist row or a row contains `name` (case-sensitive).
bool passesWhitelist(const std::string& name);

}  // namespace quorvel
