// Sets CUPS queues idle or stopped, and only when they are not so already.
#pragma once

#include "common/ChildProcess.h"
#include "quorvel/Logger.h"
#include "quorvel/QueueStateList.h"

#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quorvel {

// cupsd takes any lpadmin change of a printer as a new setup of it: it stops the backend of
// the job in progress and prints that job again from its start. So the state is read with
// `lpstat -p` first, and a queue that is printing is never touched.
//
// Threads: any; the operations are serialised, each holding one mutex from its reading of the
// states to its last change (the checker's loop and the BLE manager's callbacks would
// otherwise act on states the other has just changed). Blocks its caller while lpstat,
// lpadmin, cupsenable and cupsdisable run.
class QueueStateKeeper {
public:
    struct Tools {  // run as they are
        std::string lpstat;
        std::string lpadmin;
        std::string cupsenable;
        std::string cupsdisable;
    };
    // `logger` and `processes` must outlive the keeper; `console` (not owned) takes the
    // "Successfully set printer ..." lines.
    QueueStateKeeper(Logger& logger, pb::ProcessRunner& processes, std::FILE* console, Tools tools);

    // Idle: `lpadmin -p Q -o printer-state=3`, then cupsenable Q (only after lpadmin
    // succeeded), unless lpstat -p shows Q idle or printing. When lpstat -p tells nothing
    // about Q, the change is made.
    void setOnline(const std::string& queue);
    // Stopped: `lpadmin -p Q -o printer-state=5`, then `cupsdisable -r "Printer Q is not in
    // range" Q` (only after lpadmin succeeded) so that lpstat shows why, unless lpstat -p shows
    // Q stopped or printing. When lpstat -p tells nothing about Q, the change is made.
    void setOffline(const std::string& queue);

    // One `lpstat -p` for all queues, then each of `queues` set as above: online when
    // `isConnected(queue)`, offline otherwise. Unlike the two calls above, a queue whose state
    // lpstat -p does not give is left as it is, and a queue already right is passed over
    // without a log line (this runs every few seconds). Returns how many of `queues` were not
    // connected. `isConnected` is called with the mutex held. A queue is stopped only when its
    // printer was not connected at the call before either: at start-up, and while a printer
    // that has just come in range connects, a pass must not stop a queue that is about to work.
    std::size_t keep(const std::vector<std::string>& queues, const std::function<bool(const std::string&)>& isConnected);

    // The reason cupsdisable gives a queue whose printer went away.
    static std::string notInRangeReason(const std::string& queue) { return "Printer " + queue + " is not in range"; }

private:
    // Empty when lpstat -p cannot be run or prints more than QueueStateList can hold; `why`
    // then says so for the log.
    std::optional<QueueStateList> readStates(const std::string* queue, std::string& why);
    void setOne(const std::string& queue, bool online);
    // True when a queue in `current` state must change to be online (or offline); an unknown
    // state counts as one that must.
    static bool mustChange(std::optional<QueueState> current, bool online);
    void makeOnline(const std::string& queue);
    void makeOffline(const std::string& queue);
    bool runLpadmin(const std::string& queue, const char* state, const char* word);
    void runQueueTool(const char* name, const std::string& path, const std::vector<std::string>& arguments,
                      const std::string& queue);
    void log(const std::string& line) const { logger_.log(line); }

    Logger& logger_;
    pb::ProcessRunner& processes_;
    std::FILE* console_;
    const Tools tools_;
    std::mutex mutex_;
    std::set<std::string> absentLastTime_;  // queues whose printer keep() found not connected
    // Queues stopped here because their printer went away. keep() starts only these again: a
    // queue its user stopped stays stopped (a connection still starts it, as it always has).
    std::set<std::string> stoppedHere_;
    std::set<std::string> leftStopped_;  // already logged as stopped by someone else
};

}  // namespace quorvel
