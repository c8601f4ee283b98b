// The backend's end of the channel to the agent.
#include "backend/BidirectionalFIFO.h"

#include "backend/ExitStatus.h"
#include "backend/ReplyText.h"
#include "common/Paths.h"
#include "common/ProcessExit.h"
#include "common/RootPath.h"
#include "common/Words.h"

#include <utility>

namespace backend {

namespace {

constexpr std::size_t kLoggedMessageLength = 100;
// A reply can reach us in several reads (the agent's writes of more than a pipe's atomic size,
// or a read that fills its buffer): what arrives is joined until the channel has been quiet
// this long, so a pair cut between two reads is read whole.
constexpr std::chrono::milliseconds kReplyJoinWait{20};
// Commands waiting for the agent to read them, at the most (a listing sends one per printer).
constexpr std::size_t kMaxWaitingCommands = 64;
// Past this much unbroken text, the whole pairs in it are handled without waiting for quiet.
constexpr std::size_t kMaxJoinedReply = 1 << 20;

std::string describe(const std::string& path, std::error_code error)
{
    return path + ": " + error.message();
}

}  // namespace

BidirectionalFIFO::BidirectionalFIFO(pb::ChannelPaths paths, std::string postInstallPath,
                                     Collaborators collaborators, FifoTiming timing)
    : readFIFO_(std::move(paths.reply)), writeFIFO_(std::move(paths.command)),
      printFIFO_(std::move(paths.printData)), lockPath_(std::move(paths.lock)), postInstallPath_(std::move(postInstallPath)),
      with_(std::move(collaborators)), timing_(timing)
{
    setupFIFOs();
}

BidirectionalFIFO::~BidirectionalFIFO()
{
    isListening_ = false;
    listener_.stop();
}

BidirectionalFIFO& BidirectionalFIFO::shared()
{
    static pb::PosixProcessRunner* runner = new pb::PosixProcessRunner();
    static BidirectionalFIFO* instance = new BidirectionalFIFO(
        pb::rootedChannelPaths(), pb::rootedPath(pb::kPostInstallPath),
        {pb::MainQueue::shared(), Logger::shared(), CupsReporter::shared(), *runner, PrinterChecker::shared(),
         [](int status) { pb::exitProcess(status); }});
    return *instance;
}

void BidirectionalFIFO::setupFIFOs()
{
    with_.logger.log("setupFIFOs......");
    for (const std::string* path : {&writeFIFO_, &printFIFO_}) {
        if (pb::pathExists(*path)) {
            with_.logger.log("TODO clear FIFO");
            // Another user's FIFO, or a link, could take a job to whoever made it.
            if (const auto why = pb::whyUnfitChannelPath(*path))
                with_.logger.log("Refusing the channel " + *path + ": " + *why);
            continue;
        }
        if (std::error_code error = pb::makeChannelFifo(*path))
            with_.logger.log("Failed to create FIFO: " + describe(*path, error));
        else
            with_.logger.log("Created FIFO at: " + *path);
    }
}

void BidirectionalFIFO::lockChannel()
{
    lock_ = std::make_unique<pb::ChannelLock>(lockPath_, [this] {
        with_.logger.log("Another run of the backend has the channel; waiting for it to end");
        with_.cups.info("Waiting for another job to finish sending to the printers");
    });
    if (lock_->held())
        with_.logger.log("Took the channel lock " + lockPath_);
    else
        with_.logger.log("Cannot take the channel lock " + describe(lockPath_, lock_->error()) +
                         "; going on without it");
}

void BidirectionalFIFO::releaseChannel()
{
    lock_.reset();
}

void BidirectionalFIFO::writeMessage(std::string message, std::function<void(bool)> completion)
{
    auto taken = std::make_shared<std::atomic<bool>>(false);
    // Armed before the write is queued: its end may come on the main queue at once.
    auto timeout = std::make_shared<pb::DelayedWork>(
        with_.mainQueue.postDelayed(timing_.writeTimeout, [this] { launchAgentOnce(); }));
    const bool queued = queueCommand(std::move(message), [this, taken, timeout, completion = std::move(completion)](bool written) {
        *taken = written;
        with_.mainQueue.post([this, taken, timeout, completion] {
            timeout->cancel();
            if (*taken)
                with_.logger.log("Write operation completed successfully.");
            if (completion)
                completion(*taken);
        });
    });
    if (!queued) {
        timeout->cancel();
        if (completion)
            with_.mainQueue.post([completion] { completion(false); });
    }
}

void BidirectionalFIFO::writeMessageWithin(std::string message, std::chrono::steady_clock::duration limit,
                                           std::function<void(bool)> completion)
{
    // Whichever comes first, the write's end or the limit, answers; both run on the main queue.
    struct Once {
        bool answered = false;
        std::function<void(bool)> completion;
    };
    auto once = std::make_shared<Once>(Once{false, std::move(completion)});
    auto answer = [once](bool taken) {
        if (!std::exchange(once->answered, true))
            once->completion(taken);
    };
    if (!queueCommand(std::move(message), [this, answer](bool taken) { with_.mainQueue.post([answer, taken] { answer(taken); }); }))
        with_.mainQueue.post([answer] { answer(false); });
    with_.mainQueue.postDelayed(limit, [answer] { answer(false); });
}

bool BidirectionalFIFO::queueCommand(std::string message, std::function<void(bool written)> written)
{
    std::lock_guard lock(commands_->mutex);
    if (commands_->waiting.size() >= kMaxWaitingCommands) {
        with_.logger.log("Dropped \"" + std::string(pb::utf8Prefix(message, kLoggedMessageLength)) + "\": " +
                         std::to_string(kMaxWaitingCommands) + " messages already wait for the agent");
        return false;
    }
    commands_->waiting.push_back({std::move(message), std::move(written)});
    if (!std::exchange(commands_->writing, true))
        pb::runOnOwnThread([this, commands = commands_] { writeCommands(*commands); });
    return true;
}

void BidirectionalFIFO::writeCommands(CommandQueue& commands)
{
    // One writer, so the agent reads the messages in the order they were sent.
    for (;;) {
        CommandQueue::Item item;
        {
            std::lock_guard lock(commands.mutex);
            if (commands.waiting.empty()) {
                commands.writing = false;
                return;
            }
            item = std::move(commands.waiting.front());
            commands.waiting.pop_front();
        }
        const std::error_code error = pb::writeToFifo(writeFIFO_, item.message);
        if (error)
            with_.logger.log("Error writing to FIFO: " + describe(writeFIFO_, error));
        else
            with_.logger.log("Wrote message: " + std::string(pb::utf8Prefix(item.message, kLoggedMessageLength)));
        item.written(!error);
    }
}

void BidirectionalFIFO::launchAgentOnce()
{
    // However many messages wait, the agent is started at most once a window.
    const auto now = std::chrono::steady_clock::now();
    if (lastLaunch_ && now - *lastLaunch_ < timing_.writeTimeout)
        return;
    lastLaunch_ = now;
    with_.logger.log("Write operation timed out, launching process...");
    with_.cups.warning("The Bluetooth agent is not answering; starting it");
    launchProcess(postInstallPath_);
}

void BidirectionalFIFO::writePrintDataHex(std::shared_ptr<const std::string> hex,
                                          std::function<void(bool)> completion)
{
    with_.logger.log("Wrote print data hex");
    with_.logger.log("Wrote print data message: " + std::string(pb::utf8Prefix(*hex, kLoggedMessageLength)));
    pb::runOnOwnThread([this, hex = std::move(hex), completion = std::move(completion)] {
        // Marked and logged before the close: once the agent sees the end it may answer
        // "finished" at once, and the process ends.
        std::error_code error = pb::writeToFifo(printFIFO_, *hex, [this] {
            printDataWritten_ = true;
            with_.logger.log("Wrote print data messa finish");
        });
        if (error)
            with_.logger.log("Error writing to FIFO: " + describe(printFIFO_, error));
        with_.mainQueue.post([completion, written = !error] {
            if (completion)
                completion(written);
        });
    });
}

void BidirectionalFIFO::startReading()
{
    isListening_ = true;
    queue_.post([this] {
        with_.logger.log("startReading");
        readLoop();
    });
}

bool BidirectionalFIFO::stopReading(std::function<void()> whenStopped)
{
    if (!claimEnd())
        return false;
    listener_.stop();
    // The queue is serial: this runs once the read loop, and the reply it was handling, are done.
    queue_.post([this, whenStopped = std::move(whenStopped)] { with_.mainQueue.post(whenStopped); });
    return true;
}

void BidirectionalFIFO::readLoop()
{
    if (std::error_code error = listener_.open(readFIFO_)) {
        with_.logger.consolePrint("无法打开 FIFO 进行读取");
        with_.logger.log("Cannot read replies from " + describe(readFIFO_, error));
        return;
    }
    with_.logger.log("readLoop");
    std::string joined, chunk;
    while (isListening_) {
        std::error_code error;
        const auto wait = joined.empty() ? std::nullopt : std::optional(kReplyJoinWait);
        switch (listener_.readAvailable(chunk, error, wait)) {
        case pb::FifoListener::Result::Data:
            joined += chunk;
            if (joined.size() >= kMaxJoinedReply)
                handleJoinedReply(joined, endOfWholePairs(joined));
            break;
        case pb::FifoListener::Result::Quiet:
            handleJoinedReply(joined, joined.size());
            break;
        case pb::FifoListener::Result::Stopped:
            return;
        case pb::FifoListener::Result::Failed:
            with_.logger.log("Error reading from FIFO: " + describe(readFIFO_, error));
            return;
        }
    }
}

void BidirectionalFIFO::handleJoinedReply(std::string& joined, std::size_t end)
{
    if (end == 0) {
        with_.logger.log("Dropped " + std::to_string(joined.size()) + " bytes of reply text without a whole pair");
        joined.clear();
        return;
    }
    const std::string text = joined.substr(0, end);
    joined.erase(0, end);
    if (pb::isValidUtf8(text))
        handleReceivedMessage(text);
    else
        with_.logger.log("Dropped a reply that is not UTF-8 text (" + std::to_string(text.size()) + " bytes)");
}

void BidirectionalFIFO::handleReceivedMessage(std::string_view text)
{
    with_.logger.log("handleReceivedMessage: " + std::string(text));
    for (const ReplyAction& action : parseReplyText(text)) {
        switch (action.kind) {
        case ReplyAction::Kind::QueryCallback:
            if (onQueryCallback)
                onQueryCallback(action.value);
            break;
        case ReplyAction::Kind::Status:
            if (handleStatusCommand(action))
                return;
            break;
        case ReplyAction::Kind::UnknownKey:
            with_.logger.log("Unknown command: " + action.value);
            break;
        case ReplyAction::Kind::InvalidFormat:
            with_.logger.log("Invalid message format");
            break;
        case ReplyAction::Kind::MissingParameter:
            with_.logger.log("Invalid message format: Missing parameter for " + action.value);
            break;
        case ReplyAction::Kind::MalformedValue:
            with_.logger.log("Malformed report ignored: " + action.value);
            break;
        case ReplyAction::Kind::DetachedDetail:
            with_.logger.log("Report detail without a status before it ignored: " + action.value);
            break;
        }
    }
}

bool BidirectionalFIFO::isStale(std::string_view status)
{
    if (!acceptsJobReports || acceptsJobReports())
        return false;
    with_.logger.log("Ignored \"status " + std::string(status) +
                     "\": this job's print data is not written yet, so it belongs to an earlier job");
    return true;
}

bool BidirectionalFIFO::handleStatusCommand(const ReplyAction& action)
{
    const std::string_view status = action.value;
    const pb::StatusWord word = pb::parseStatusWord(status);
    switch (word) {
    case pb::StatusWord::Finished:
        if (isStale("finished"))
            return false;
        with_.logger.log("Print job finished");
        with_.logger.customPrint("Print job finished", stdout);
        return endWith(JobEnd::Finished, "Print job finished", false);
    case pb::StatusWord::Error:
        with_.logger.log("Print job error");
        with_.logger.customPrint("Print job failed", stderr);
        return endWith(JobEnd::PrinterError, "Print job failed", true);
    case pb::StatusWord::PaperOut:
        with_.logger.customPrint("Printer out of paper", stderr);
        with_.cups.error("Printer out of paper");
        with_.cups.addState("media-empty-error");
        return false;
    case pb::StatusWord::Busy:
        with_.logger.customPrint("Printer busy", stderr);
        with_.cups.warning("Printer busy");
        writeMessage(std::string(pb::kStatusReceivedBusy));
        return false;
    case pb::StatusWord::Start:
        with_.logger.log("quorvel client bluetooth start");
        if (with_.checker.checkForWhitelistedPrinters())
            writeMessage(std::string(pb::kQueryBluetoothDevice));
        return false;
    case pb::StatusWord::NotInRange:
        if (isStale(status))
            return false;
        with_.logger.log("The agent gave the job back: its printer did not come in range");
        return endWith(JobEnd::NotInRange, "The printer is not in range; the job will be retried", false);
    case pb::StatusWord::Queued:
    case pb::StatusWord::Connecting:
    case pb::StatusWord::Sending:
        if (isStale(status))
            return false;
        if (onJobReport)
            onJobReport(word, action);
        else
            with_.logger.log("Job report ignored: this run lists devices");
        return false;
    case pb::StatusWord::Other:
        with_.logger.customPrint("Printer busy", stderr);
        with_.cups.warning("Printer busy");
        return false;
    }
    return false;
}

bool BidirectionalFIFO::claimEnd()
{
    return isListening_.exchange(false);
}

bool BidirectionalFIFO::endWith(JobEnd end, std::string_view cupsLine, bool asError)
{
    // Whoever claims the end first (a reply or the status wait) ends the run; the other only
    // stops handling the text.
    if (!claimEnd())
        return true;
    if (asError)
        with_.cups.error(cupsLine);
    else
        with_.cups.info(cupsLine);
    endRun(exitStatusFor(end));
    return true;
}

void BidirectionalFIFO::endRun(int status)
{
    listener_.stop();
    with_.cups.clearStates();
    with_.exitProcess(status);
}

void BidirectionalFIFO::launchProcess(const std::string& scriptPath)
{
    std::string error;
    if (!with_.processes.launch({scriptPath, {}, {}}, error))
        with_.logger.log("Failed to launch " + scriptPath + ": " + error);
}

}  // namespace backend
