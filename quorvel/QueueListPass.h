// The arithmetic of one queue-list pass: which printers' queues appeared or went since the
// list recorded last, which list the pass records, and whose queue states it keeps.
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

// The printers whose queue state a pass keeps, once each in list order: listed, on the
// whitelist, with a queue of exactly their name (the state changes address the queue by the
// printer's name), and not among `connecting`, the printers this pass has just started to
// connect: their connection callbacks set the state when the attempt ends.
std::vector<std::string> queuesToKeep(const std::vector<std::string>& listed, const std::vector<std::string>& queues,
                                      const std::vector<std::string>& connecting);

// The names as one line: ["A", "B"].
std::string quotedList(const std::vector<std::string>& names);

// True when `name` contains a whitelist row or a row contains `name` (case-sensitive).
bool passesWhitelist(const std::string& name);

}  // namespace quorvel
