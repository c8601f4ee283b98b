// The CUPS queue checker: reads the queue list (lpstat -v), connects the printers whose queues
// appear and disconnects those whose queues go, waits for the queue of a printer just offered
// to CUPS, and keeps each queue's state (idle or stopped) in step with its printer's link.
#pragma once

#include "common/ChildProcess.h"
#include "quorvel/CheckerClock.h"
#include "quorvel/Logger.h"
#include "quorvel/PrinterConnections.h"
#include "quorvel/PrinterQueueTracker.h"
#include "quorvel/QueueListPass.h"
#include "quorvel/QueueStateKeeper.h"
#include "quorvel/TimerQueue.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

inline constexpr const char* kLoopCheckerLabel = "com.pelltandle.printerLoopChecker";
inline constexpr const char* kAddCheckerLabel = "com.pelltandle.printerAddChecker";

// Threads: the queue-list passes run on `loopQueue`, the add-check passes on `addQueue`; the
// two may run at once. The other operations run on their caller's thread (the main queue or
// the FIFO dispatcher) and block it while the CUPS tools run. One mutex guards
// the timers, the add check's start, currentPrinters and the latest queue list; it is never
// held while a program runs or a collaborator is called.
class PrinterChecker : public PrinterQueueTracker {
public:
    struct Collaborators {
        Logger& logger;
        pb::ProcessRunner& processes;
        std::FILE* console;  // lines that go to standard output rather than the log; not owned
        // The orchestrator: connections for queues that appear or go, USB queue reports.
        PrinterConnections& connections;
        // Asks the BLE manager for a new scan (after a queue went offline). The queue-list
        // pass never uses it: it asks the connections to ensure a scan instead.
        std::function<void()> startBleScan;
        CheckerClock& clock;
        // The queues the two loops run on (kLoopCheckerLabel, kAddCheckerLabel); owned.
        std::unique_ptr<TimerQueue> loopQueue;
        std::unique_ptr<TimerQueue> addQueue;
    };
    // Run as they are (main passes them under the root prefix).
    struct ToolPaths {
        std::string lpstat;
        std::string lpadmin;
        std::string cupsenable;
        std::string cupsdisable;
    };
    static ToolPaths rootedToolPaths();

    static constexpr std::chrono::seconds kLoopInterval{6};
    static constexpr std::chrono::seconds kAddCheckInterval{2};
    static constexpr std::chrono::seconds kAddCheckLimit{20};
    static constexpr int kLoopRetries = 3;
    static constexpr std::chrono::seconds kLoopRetryPause{1};
    static constexpr std::chrono::seconds kAddRetryPause{200};
    // Advertisements repeat many times a second; a queue list this young answers the presence
    // test and the state changes without running lpstat again.
    static constexpr std::chrono::milliseconds kQueueListReuse{1500};

    // `clock`, the runner, the logger and the connections must outlive the checker.
    PrinterChecker(Collaborators collaborators, ToolPaths tools);
    // Cuts short any sleep of a pass, stops both loops and joins their queues.
    ~PrinterChecker() override;
    PrinterChecker(const PrinterChecker&) = delete;
    PrinterChecker& operator=(const PrinterChecker&) = delete;

    // True when a listed queue's device name contains `printerName` or is contained in it.
    // Answers from a queue list no older than kQueueListReuse.
    bool isPrinterAdded(const std::string& printerName) override;
    // Mark the queue named `printerName` idle (and enable it) or stopped (with the reason that
    // its printer is not in range), unless it is so already or printing (QueueStateKeeper).
    // Only a queue of exactly that name in the latest list is touched: lpadmin would create a
    // missing one.
    void setPrinterOnline(const std::optional<std::string>& printerName) override;
    void setPrinterOffline(const std::string& printerName) override;
    // Starts the queue-list loop (first pass at once, then every kLoopInterval), replacing a
    // running one; stopCheckLoop() stops it. currentPrinters survives a stop.
    void checkPrinterLoop() override;
    void stopCheckLoop() override;
    // True when a listed, whitelisted queue's printer is not connected. Answers from a queue
    // list no older than kQueueListReuse.
    bool waitsForPrinters() override;
    // Waits for a queue of `printerName`: a pass at once and every kAddCheckInterval until a
    // queue is found or kAddCheckLimit has passed. Replaces an add check still running.
    void checkPrinterLoop(const std::string& printerName);

    // One queue-list pass and one add-check pass, as the loops run them (tests call them
    // directly on their own thread). Besides connecting and disconnecting, a queue-list pass
    // sets the queue of every whitelisted printer idle while it is connected and stopped while
    // it is not, asking the connections for a scan when one is not connected.
    void checkPrinter();
    void checkPrinter(const std::string& printerName);

    // The printer names of the pellbluetooth queues in the order lpstat lists them, duplicates
    // kept; USB queues are reported through the connections on the way. Always runs lpstat;
    // empty when it cannot be run.
    std::vector<std::string> getPrinters();

    // The text after "pellbluetooth://" (or "usb://") up to the next slash or the end of the
    // line; empty when the line has none.
    static std::optional<std::string> extractBTPrinterName(const std::string& line);
    static std::optional<std::string> extractUsbPrinterName(const std::string& line);
    // The queue name of an `lpstat -v` line ("device for NAME: URI"); empty for other lines.
    static std::optional<std::string> extractQueueName(const std::string& line);
    // True when the name contains a whitelist row or a row contains the name.
    static bool checkForWhitelistedPrinters(const std::string& printerName);

    std::vector<std::string> currentPrinters() const;
    bool isAddCheckRunning() const;

private:
    struct QueueList {
        std::vector<std::string> printers;  // device names of the pellbluetooth queues
        std::vector<std::string> queues;    // names of all queues
        std::vector<QueueOfPrinter> bluetoothQueues;  // each pellbluetooth queue and its printer
        CheckerClock::TimePoint readAt;
    };
    QueueList readQueueList();
    QueueList recentQueueList();

    bool connectWithLoopRetries(const std::string& name);
    void connectWithAddRetries(const std::string& name);
    void addCheckPass(const std::string& printerName, std::uint64_t generation);
    void stopAddCheck(std::uint64_t generation);
    bool handleAddedQueue(const std::string& name);
    void handleRemovedQueue(const std::string& name);
    void keepQueueStates(const QueueList& list, const std::vector<std::string>& connecting);
    // The queues of printer `name` (QueueListPass.h), read afresh; logs when there is none.
    std::vector<std::string> queuesOfPrinter(const std::string& name, const char* word);
    void printLine(const std::string& line) const;
    void log(const std::string& line) const { logger_.log(line); }

    Logger& logger_;
    pb::ProcessRunner& processes_;
    std::FILE* console_;
    PrinterConnections& connections_;
    std::function<void()> startBleScan_;
    CheckerClock& clock_;
    const ToolPaths tools_;
    QueueStateKeeper states_;

    mutable std::mutex mutex_;
    std::shared_ptr<RepeatingTimer> timer_;      // the add check; null when none runs
    std::shared_ptr<RepeatingTimer> scanTimer_;  // the queue-list loop
    std::optional<CheckerClock::TimePoint> startTime_;
    std::uint64_t addGeneration_ = 0;      // the add check started last
    std::uint64_t stoppedGeneration_ = 0;  // the add check that ended last
    std::vector<std::string> currentPrinters_;
    std::optional<QueueList> latest_;

    // Last, so they stop (joining a running pass) before the fields above go.
    std::unique_ptr<TimerQueue> loopQueue_;
    std::unique_ptr<TimerQueue> addQueue_;
};

}  // namespace quorvel
