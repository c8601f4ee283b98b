// The backend's two modes: listing devices from the agent's reports, and handing one job to
// the agent and waiting for its outcome.
#pragma once

#include "backend/BidirectionalFIFO.h"
#include "backend/CupsReporter.h"
#include "backend/JobProgress.h"
#include "backend/Logger.h"
#include "common/MainQueue.h"
#include "common/WorkGroup.h"

#include <asio/signal_set.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace backend {

// How long a listing reads the agent's reports. It holds the channel lock meanwhile, and CUPS
// and printer setup tools wait for its end, so it ends as soon as the reports are in: a
// printer in range is reported at once, the rest of the agent's 3-second report window at its
// end. Each printer's "addPrint" follows its report by 2 seconds, so a listing ends 5 to 7
// seconds after it starts.
inline constexpr std::chrono::seconds kListingWindow{5};
// After the window, the announcements still due (each 2 s after its report) have this long to
// be taken by the agent before the listing ends without them.
inline constexpr std::chrono::seconds kAnnouncementWait{5};
// How long a cancelled job waits for the agent to take "cancelPrint": CUPS kills a backend that
// lingers after SIGTERM.
inline constexpr std::chrono::seconds kCancelWait{3};

struct HandlerTiming {
    std::chrono::steady_clock::duration printDataDelay = std::chrono::milliseconds(100);
    std::chrono::steady_clock::duration addPrintDelay = std::chrono::seconds(2);
    std::chrono::steady_clock::duration statusWait = std::chrono::seconds(30);
    std::chrono::steady_clock::duration agentSilenceLimit = pb::kAgentSilenceLimit;
    std::chrono::steady_clock::duration listingWindow = kListingWindow;
    std::chrono::steady_clock::duration announcementWait = kAnnouncementWait;
    std::chrono::steady_clock::duration cancelWait = kCancelWait;
};

class PrintDataHandler {
public:
    // `deviceOutput` receives the device lines (standard output in the program). Nothing is
    // owned. `exitProcess` never returns in the program.
    PrintDataHandler(BidirectionalFIFO& fifo, Logger& logger, CupsReporter& cups, pb::MainQueue& mainQueue,
                     std::FILE* deviceOutput, std::function<void(int)> exitProcess, HandlerTiming timing = {});
    static PrintDataHandler& shared();

    // Listing mode: takes the channel, asks the agent for printers and ends the run
    // listingWindow later. `arguments` is every program argument joined with single spaces.
    void handlePrinterStatus(std::string_view arguments);

    // Job mode, on the main thread: reads the job from `input` to its end, takes the channel
    // (waiting for the run that has it), hands the job over and waits for its outcome; from
    // then on SIGTERM cancels the job. `arguments` are the program's, argv[0] first.
    void processPrintJob(std::vector<std::string> arguments, int input);

    // Reads `input` until end of file or a read error, keeping what was read, and returns it as
    // hex text. Holds the bytes in blocks that are released as they are encoded, so the peak is
    // about the size of the text.
    std::shared_ptr<std::string> readPrintData(int input);

    // Sends "doPrint URI", writes the print data 0.1 s later and arms the status wait from then.
    void performPrint(const std::string& deviceUri, std::shared_ptr<const std::string> printData);

    // One "querycallback" report, on the read queue: prints the device line and sends
    // "addPrint NAME " 2 s later. A name that could forge a line is refused with a log line, and
    // a run that prints a job answers no report (a new queue mid-job would restart the job).
    void discoverDevices(std::string_view name);

    // One report on the job in hand, on the read queue: tells CUPS how the job stands and keeps
    // the run waiting for as long as reports keep coming.
    void jobReport(pb::StatusWord word, const ReplyAction& report);

    // CUPS cancelled the job, on the main queue: tells the agent, then ends the run.
    void cancelJob();

private:
    void watchForCancel();
    void sendCancel();
    void statusWaitExpired();
    void armSilenceWait(std::chrono::steady_clock::duration delay);
    void silenceWaitExpired();
    void endListing();
    void finishListing(std::string_view why);

    BidirectionalFIFO& fifo_;
    Logger& logger_;
    CupsReporter& cups_;
    pb::MainQueue& mainQueue_;
    std::FILE* deviceOutput_;
    std::function<void(int)> exitProcess_;
    HandlerTiming timing_;
    std::string deviceUri_;
    std::atomic<bool> jobMode_{false};
    std::set<std::string> answered_;  // names given a device line in this listing; read queue only
    // Set on the main queue by the write completions; read there by the status wait.
    bool commandTaken_ = false;
    bool printDataTaken_ = false;
    // Main queue only.
    bool printDataStarted_ = false;
    bool cancelRequested_ = false;
    bool listingFinished_ = false;
    std::unique_ptr<asio::signal_set> cancelSignal_;
    // Set on the read queue by the first report; read on the main queue by the waits.
    std::atomic<bool> agentHasJob_{false};
    std::atomic<std::chrono::steady_clock::rep> lastReportAt_{0};
    JobProgress progress_;  // read queue only
    // The announcements ("addPrint") a listing still owes the agent.
    std::shared_ptr<pb::WorkGroup> announcements_;
};

}  // namespace backend
