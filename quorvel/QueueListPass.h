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

// A CUPS queue and the printer its device URI names ("device for Labels:
// pellbluetooth://KRV38-A1B2" gives {"Labels", "KRV38-A1B2"}).
struct QueueOfPrinter {
    std::string queue;
    std::string printer;
    bool operator==(const QueueOfPrinter&) const = default;
};

// The queues whose state a pass keeps, once each in list order: their printer on the
// whitelist, and not among `connecting`, the printers this pass has just started to connect:
// their connection callbacks set the state when the attempt ends.
std::vector<QueueOfPrinter> queuesToKeep(const std::vector<QueueOfPrinter>& listed,
                                         const std::vector<std::string>& connecting);

// The queues of `printer`: those whose device URI names it, and a queue of exactly its name.
std::vector<std::string> queuesOf(const std::string& printer, const std::vector<QueueOfPrinter>& listed,
                                  const std::vector<std::string>& queues);

// The names as one line: ["A", "B"].
std::string quotedList(const std::vector<std::string>& names);

// True when `name` contains a whitelist row or a row contains `name` (case-sensitive).
bool passesWhitelist(const std::string& name);

}  // namespace quorvel
