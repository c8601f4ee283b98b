// The backend's end of the channel to the agent: creates the command and print-data FIFOs,
// holds the channel lock, sends commands (with the post-install fallback), writes a job's print
// data, and reads the agent's replies on its own serial queue.
#pragma once

#include "backend/CupsReporter.h"
#include "backend/ExitStatus.h"
#include "backend/Logger.h"
#include "backend/PrinterChecker.h"
#include "backend/ReplyText.h"
#include "common/Channel.h"
#include "common/ChannelLock.h"
#include "common/ChildProcess.h"
#include "common/Fifo.h"
#include "common/MainQueue.h"
#include "common/SerialQueue.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace backend {

struct FifoTiming {
    // A command not taken by then launches the post-install program (the write goes on).
    std::chrono::steady_clock::duration writeTimeout = std::chrono::milliseconds(3000);
};

class BidirectionalFIFO {
public:
    struct Collaborators {
        pb::MainQueue& mainQueue;
        Logger& logger;
        CupsReporter& cups;
        pb::ProcessRunner& processes;
        PrinterChecker& checker;
        std::function<void(int)> exitProcess;  // ends the process; never returns in the program
    };

    // Creates the command and print-data channels when nothing exists at their paths.
    // `postInstallPath` is the program launched when a command is not taken in time.
    BidirectionalFIFO(pb::ChannelPaths paths, std::string postInstallPath, Collaborators collaborators,
                      FifoTiming timing = {});
    // Wakes and joins the read loop. Writes still waiting for a reader must have ended first:
    // the program's instance is never destroyed.
    ~BidirectionalFIFO();
    BidirectionalFIFO(const BidirectionalFIFO&) = delete;
    BidirectionalFIFO& operator=(const BidirectionalFIFO&) = delete;

    static BidirectionalFIFO& shared();

    // Called on the read queue with each printer name of a "querycallback" reply. Set before
    // startReading().
    std::function<void(const std::string& name)> onQueryCallback;
    // Asked on the read queue when "status finished", "not_in_range" or a report on a job in
    // hand arrives: false means the reply cannot be about this run's job (its print data is not
    // written yet), so it is stale and ignored. Unset, every one counts.
    std::function<bool()> acceptsJobReports;
    // Called on the read queue with each report on the job in hand (the status words queued,
    // connecting and sending, with their details). Unset (a listing), reports are only logged.
    std::function<void(pb::StatusWord word, const ReplyAction& report)> onJobReport;

    // Takes the channel lock for this run, first making its file when missing; when another run
    // has it, tells CUPS and waits for it as long as it takes. Held until releaseChannel() or
    // the end of the process. A lock that cannot be had is logged, and the run goes on without.
    void lockChannel();
    void releaseChannel();

    // Sends one message after the ones sent before it, on the writer's thread, and returns at
    // once; at most 64 wait (more are dropped with a log line). A message not taken within the
    // write time-out starts the agent through the post-install program, at most once per
    // time-out window. `completion`, if any, runs on the main queue with whether the agent took
    // the message.
    void writeMessage(std::string message, std::function<void(bool taken)> completion = {});
    // Sends one message like writeMessage, without the post-install fallback. `completion`
    // runs once on the main queue: with true when the agent took the message, with false when
    // it did not within `limit` (the write itself goes on until the process ends).
    void writeMessageWithin(std::string message, std::chrono::steady_clock::duration limit,
                            std::function<void(bool taken)> completion);

    // Writes the print data on a thread of its own and returns at once; waits for the agent as
    // long as it takes. `completion` runs on the main queue with whether all of it was written.
    void writePrintDataHex(std::shared_ptr<const std::string> hex, std::function<void(bool written)> completion);
    // True once every byte of the print data has been written, set on the writing thread before
    // it closes the channel.
    bool printDataWritten() const { return printDataWritten_; }

    // Starts the reply read loop on the serial queue and returns at once.
    void startReading();
    // Ends listening (see claimEnd) and wakes the read loop; `whenStopped` then runs on the main
    // queue once the loop has returned, so no reply is handled after it. Returns false, and
    // does nothing, when the run had already ended.
    bool stopReading(std::function<void()> whenStopped);

    // Handles one reply text. Returns after a status that ended the run.
    // Handles the first `end` bytes of `joined` and keeps the rest for the next read.
    void handleJoinedReply(std::string& joined, std::size_t end);
    void handleReceivedMessage(std::string_view text);
    // `status` is a Status action. Returns true when the status ended the run.
    bool handleStatusCommand(const ReplyAction& status);

    bool isListening() const { return isListening_; }
    // Ends listening; true for the one caller that found it on. The run's end goes through this
    // so that the status wait and a reply can never both end it.
    bool claimEnd();

    const std::string& readFIFO() const { return readFIFO_; }
    const std::string& writeFIFO() const { return writeFIFO_; }
    const std::string& printFIFO() const { return printFIFO_; }

private:
    // Commands go out one at a time, in order, on a thread that lives while any wait.
    struct CommandQueue {
        struct Item {
            std::string message;
            std::function<void(bool written)> written;  // on the writer's thread
        };
        std::mutex mutex;
        std::deque<Item> waiting;
        bool writing = false;
    };

    void setupFIFOs();
    void readLoop();
    // False (and a log line) when too many commands wait already.
    bool queueCommand(std::string message, std::function<void(bool written)> written);
    void writeCommands(CommandQueue& commands);
    void launchAgentOnce();  // main queue only
    void launchProcess(const std::string& scriptPath);
    // Ends the run with `end`'s exit status after one line for CUPS; true (the text's handling
    // stops) whether or not this call was the one that ended it.
    bool endWith(JobEnd end, std::string_view cupsLine, bool asError);
    void endRun(int status);
    bool isStale(std::string_view status);

    std::string readFIFO_;   // reply channel
    std::string writeFIFO_;  // command channel
    std::string printFIFO_;  // print-data channel
    std::string lockPath_;
    std::string postInstallPath_;
    std::unique_ptr<pb::ChannelLock> lock_;  // main thread only
    Collaborators with_;
    FifoTiming timing_;
    std::atomic<bool> isListening_{false};
    std::atomic<bool> printDataWritten_{false};
    std::shared_ptr<CommandQueue> commands_ = std::make_shared<CommandQueue>();
    std::optional<std::chrono::steady_clock::time_point> lastLaunch_;  // main queue only
    pb::FifoListener listener_;
    pb::SerialQueue queue_{"com.pelltandle.bluetooth.fifo"};  // last: stops before the rest goes
};

}  // namespace backend
