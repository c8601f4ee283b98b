// The backend's two modes: device listing and job hand-over.
#include "backend/PrintDataHandler.h"

#include "backend/DeviceLine.h"
#include "backend/ExitStatus.h"
#include "backend/PrinterChecker.h"
#include "common/Channel.h"
#include "common/HexText.h"
#include "common/Paths.h"
#include "common/ProcessExit.h"
#include "common/Words.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>

namespace backend {

namespace {

constexpr std::size_t kReadPiece = 8192;
// Large enough that the allocator maps each block on its own and unmaps it when freed, so the
// memory of read bytes goes back to the system while the text is encoded.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr std::size_t kLoggedHexLength = 50;

struct Block {
    std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[kBlockSize]};
    std::size_t used = 0;
};

}  // namespace

PrintDataHandler::PrintDataHandler(BidirectionalFIFO& fifo, Logger& logger, CupsReporter& cups,
                                   pb::MainQueue& mainQueue, std::FILE* deviceOutput,
                                   std::function<void(int)> exitProcess, HandlerTiming timing)
    : fifo_(fifo), logger_(logger), cups_(cups), mainQueue_(mainQueue), deviceOutput_(deviceOutput),
      exitProcess_(std::move(exitProcess)), timing_(timing)
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
    fifo_.writeMessage(std::string(pb::kQueryBluetoothDevice));
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
    // Only a "finished" that comes after our print data is written can be about this job.
    fifo_.acceptsFinished = [this] { return fifo_.printDataWritten(); };
    fifo_.writeMessage(pb::doPrintMessage(deviceUri), [this](bool taken) { commandTaken_ = taken; });
    logger_.log("Wrote print data hex start");
    mainQueue_.postDelayed(timing_.printDataDelay, [this, printData = std::move(printData)]() mutable {
        // The write waits for the agent on a thread of its own, so the status wait below fires
        // whatever the write is doing.
        fifo_.writePrintDataHex(std::move(printData), [this](bool written) {
            printDataTaken_ = written;
            logger_.log("Both write operations completed");
        });
        mainQueue_.postDelayed(timing_.statusWait, [this] { statusWaitExpired(); });
    });
}

void PrintDataHandler::statusWaitExpired()
{
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
    if (!isSafePrinterName(name)) {
        logger_.log("discoverDevices refused a printer name that is empty or holds control characters, "
                    "quotes or backslashes: \"" + escapedForLog(reported) + "\"");
        return;
    }
    const std::string line = deviceLine(name, PrinterChecker::checkForWhitelistedPrinters(name));
    std::fputs((line + "\n").c_str(), deviceOutput_);
    std::fflush(deviceOutput_);
    logger_.log("discoverDevices " + line);
    mainQueue_.postDelayed(timing_.addPrintDelay, [this, name] { fifo_.writeMessage(pb::addPrintMessage(name)); });
}

}  // namespace backend
