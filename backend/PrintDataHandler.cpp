// The backend's two modes: device listing and job hand-over with the wait for its outcome.
#include "backend/PrintDataHandler.h"

#include "backend/DeviceLine.h"
#include "backend/ExitStatus.h"
#include "backend/PrinterChecker.h"
#include "common/Channel.h"
#include "common/HexText.h"
#include "common/Paths.h"
#include "common/PrinterName.h"
#include "common/ProcessExit.h"
#include "common/Words.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <deque>
#include <utility>

namespace backend {

namespace {

constexpr std::size_t kReadPiece = 8192;
// Large enough that the allocator maps each block on its own and unmaps it when freed, so the
// memory of read bytes goes back to the system while the text is encoded.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr std::size_t kLoggedHexLength = 50;

using Clock = std::chrono::steady_clock;

std::string secondsText(Clock::duration duration)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

struct Block {
    std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[kBlockSize]};
    std::size_t used = 0;
};

}  // namespace

PrintDataHandler::PrintDataHandler(BidirectionalFIFO& fifo, Logger& logger, CupsReporter& cups,
                                   pb::MainQueue& mainQueue, std::FILE* deviceOutput,
                                   std::function<void(int)> exitProcess, HandlerTiming timing)
    : fifo_(fifo), logger_(logger), cups_(cups), mainQueue_(mainQueue), deviceOutput_(deviceOutput),
      exitProcess_(std::move(exitProcess)), timing_(timing), announcements_(std::make_shared<pb::WorkGroup>(mainQueue))
{
}

PrintDataHandler& PrintDataHandler::shared()
{
    static PrintDataHandler* instance =
        new PrintDataHandler(BidirectionalFIFO::shared(), Logger::shared(), CupsReporter::shared(),
                             pb::MainQueue::shared(), stdout, [](int status) { pb::exitProcess(status); });
    return *instance;
}

void PrintDataHandler::handlePrinterStatus(std::string_view arguments)
{
    logger_.log("handlePrinterStatus: " + std::string(arguments));
    fifo_.lockChannel();
    fifo_.writeMessage(std::string(pb::kQueryBluetoothDevice));
    mainQueue_.postDelayed(timing_.listingWindow, [this] { endListing(); });
}

void PrintDataHandler::endListing()
{
    const bool stopping = fifo_.stopReading([this] {
        announcements_->notify([this] { finishListing("every announcement is sent"); });
        mainQueue_.postDelayed(timing_.announcementWait,
                               [this] { finishListing("the agent did not take every announcement in time"); });
    });
    if (stopping)
        logger_.log("Listing window of " + secondsText(timing_.listingWindow) +
                    " seconds over: no more discovery reports are read");
}

void PrintDataHandler::finishListing(std::string_view why)
{
    if (std::exchange(listingFinished_, true))
        return;
    logger_.log("Listing ended: " + std::string(why));
    fifo_.releaseChannel();
    cups_.clearStates();
    exitProcess_(exitStatusFor(JobEnd::ListingDone));
}

void PrintDataHandler::processPrintJob(std::vector<std::string> arguments, int input)
{
    logger_.log("bluetooth processPrintJob");
    for (const char* ownPath : pb::kBackendInstallPaths) {
        if (!arguments.empty() && arguments.front() == ownPath) {
            arguments.erase(arguments.begin());
            break;
        }
    }
    auto printData = readPrintData(input);
    if (!printData) {
        logger_.log("Job refused: over " + std::to_string(pb::kMaxJobBytes) + " bytes");
        cups_.error("The job is larger than " + std::to_string(pb::kMaxJobBytes >> 20) + " MB; it was not printed");
        exitProcess_(exitStatusFor(JobEnd::TooLarge));
        return;
    }
    // Taken only now: a run still reading its job holds no other job back. Until the lock is
    // held SIGTERM keeps its default action, for nothing has been handed over yet.
    fifo_.lockChannel();
    watchForCancel();
    performPrint(arguments.empty() ? std::string() : arguments.front(), std::move(printData));
}

std::shared_ptr<std::string> PrintDataHandler::readPrintData(int input)
{
    std::deque<Block> blocks;
    std::size_t total = 0;
    for (;;) {
        if (blocks.empty() || blocks.back().used == kBlockSize)
            blocks.emplace_back();
        Block& block = blocks.back();
        std::size_t room = std::min(kReadPiece, kBlockSize - block.used);
        ssize_t count = ::read(input, block.bytes.get() + block.used, room);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        block.used += static_cast<std::size_t>(count);
        total += static_cast<std::size_t>(count);
        if (total > pb::kMaxJobBytes)
            return nullptr;  // the agent would refuse it: neither hold nor send it
    }
    auto text = std::make_shared<std::string>();
    text->reserve(total * 2);
    while (!blocks.empty()) {
        pb::appendHex({blocks.front().bytes.get(), blocks.front().used}, *text);
        blocks.pop_front();
    }
    logger_.log("Hex string: " + text->substr(0, kLoggedHexLength));
    return text;
}

void PrintDataHandler::performPrint(const std::string& deviceUri, std::shared_ptr<const std::string> printData)
{
    cups_.info("Sending the job to the Bluetooth agent");
    deviceUri_ = deviceUri;
    jobMode_ = true;
    // Only an outcome or a report that comes after our print data is written can be about this
    // job: the agent takes a job once it has read all of its data.
    fifo_.acceptsJobReports = [this] { return fifo_.printDataWritten(); };
    fifo_.onJobReport = [this](pb::StatusWord word, const ReplyAction& report) { jobReport(word, report); };
    fifo_.writeMessage(pb::doPrintMessage(deviceUri, printData->size()), [this](bool taken) { commandTaken_ = taken; });
    logger_.log("Wrote print data hex start");
    mainQueue_.postDelayed(timing_.printDataDelay, [this, printData = std::move(printData)]() mutable {
        // The write waits for the agent on a thread of its own, so the status wait below fires
        // whatever the write is doing.
        fifo_.writePrintDataHex(std::move(printData), [this](bool written) {
            printDataTaken_ = written;
            logger_.log("Both write operations completed");
        });
        printDataStarted_ = true;
        // A cancel that came before the data was under way goes after it, so the agent reads
        // the job whole and then drops it.
        if (cancelRequested_)
            sendCancel();
        else
            mainQueue_.postDelayed(timing_.statusWait, [this] { statusWaitExpired(); });
    });
}

void PrintDataHandler::watchForCancel()
{
    cancelSignal_ = std::make_unique<asio::signal_set>(mainQueue_.context(), SIGTERM);
    cancelSignal_->async_wait([this](const asio::error_code& error, int) {
        if (!error)
            cancelJob();
    });
}

void PrintDataHandler::cancelJob()
{
    if (!fifo_.stopReading([] {}))
        return;  // the outcome is in already; the run is ending
    logger_.log("CUPS cancelled the job (SIGTERM): telling the agent");
    cancelRequested_ = true;
    if (printDataStarted_)
        sendCancel();
}

void PrintDataHandler::sendCancel()
{
    fifo_.writeMessageWithin(pb::cancelPrintMessage(deviceUri_), timing_.cancelWait, [this](bool taken) {
        logger_.log(taken ? "The agent took the cancel of the job"
                          : "The agent did not take the cancel within " + secondsText(timing_.cancelWait) + " seconds");
        cups_.info("Job cancelled");
        cups_.clearStates();
        exitProcess_(exitStatusFor(JobEnd::Cancelled));
    });
}

void PrintDataHandler::jobReport(pb::StatusWord word, const ReplyAction& report)
{
    lastReportAt_ = Clock::now().time_since_epoch().count();
    if (!agentHasJob_.exchange(true))
        mainQueue_.post([this] {
            logger_.log("The agent has the job: waiting for as long as it reports on it");
            armSilenceWait(timing_.agentSilenceLimit);
        });
    const JobProgress::Lines lines = progress_.report(word, report.progress, report.pages);
    if (lines.info)
        cups_.info(*lines.info);
    if (lines.pagesCompleted)
        cups_.attribute("job-impressions-completed", std::to_string(*lines.pagesCompleted));
}

void PrintDataHandler::armSilenceWait(Clock::duration delay)
{
    mainQueue_.postDelayed(delay, [this] { silenceWaitExpired(); });
}

void PrintDataHandler::silenceWaitExpired()
{
    // One timer, moved on to the silence's end as long as reports keep coming.
    const Clock::time_point lastReport{Clock::duration(lastReportAt_.load())};
    const Clock::duration quiet = Clock::now() - lastReport;
    if (quiet < timing_.agentSilenceLimit) {
        armSilenceWait(timing_.agentSilenceLimit - quiet);
        return;
    }
    if (!fifo_.claimEnd())
        return;
    logger_.log("No report from the agent for " + secondsText(timing_.agentSilenceLimit) +
                " seconds after it took the job: it has stopped");
    cups_.error("The Bluetooth agent stopped reporting on the job; it will be retried");
    cups_.clearStates();
    exitProcess_(exitStatusFor(JobEnd::AgentSilent));
}

void PrintDataHandler::statusWaitExpired()
{
    if (agentHasJob_ && fifo_.isListening()) {
        logger_.log("The status wait is over, but the agent reports on the job: waiting on");
        return;
    }
    if (!fifo_.claimEnd()) {
        logger_.log("Status finished");
        return;
    }
    logger_.log("Status not finished within 30 seconds");
    logger_.customPrint("Print job timed out", stderr);
    JobEnd end = (commandTaken_ && printDataTaken_) ? JobEnd::NoStatusAfterHandOver : JobEnd::NotTakenByAgent;
    if (end == JobEnd::NoStatusAfterHandOver) {
        cups_.warning("Print job timed out: the printer sent no status, the job may still be printing");
    } else {
        logger_.log("The agent did not take the job: command " + std::string(commandTaken_ ? "taken" : "not taken") +
                    ", print data " + (printDataTaken_ ? "taken" : "not taken"));
        cups_.error("The Bluetooth agent (quorvel) did not take the job; it was not printed");
    }
    cups_.clearStates();
    exitProcess_(exitStatusFor(end));
}

void PrintDataHandler::discoverDevices(std::string_view reported)
{
    const std::string name(pb::trimWhitespace(reported));
    if (jobMode_) {
        logger_.log("Discovery report for " + escapedForLog(name) + " ignored: this run prints a job");
        return;
    }
    if (const auto why = whyUnsafePrinterName(name)) {
        logger_.log("discoverDevices refused the printer name \"" +
                    escapedForLog(reported.substr(0, pb::kMaxPrinterNameBytes + 1)) + "\": " + *why);
        return;
    }
    // The agent reports a printer at each of its windows; a listing shows it once.
    if (!answered_.insert(name).second)
        return;
    const std::string line = deviceLine(name, PrinterChecker::checkForWhitelistedPrinters(name));
    std::fputs((line + "\n").c_str(), deviceOutput_);
    std::fflush(deviceOutput_);
    logger_.log("discoverDevices " + line);
    announcements_->enter();
    mainQueue_.postDelayed(timing_.addPrintDelay, [this, name] {
        fifo_.writeMessage(pb::addPrintMessage(name), [group = announcements_](bool) { group->leave(); });
    });
}

}  // namespace backend
