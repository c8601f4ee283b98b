// pellbluetooth, the CUPS backend: lists printers reported by the Bluetooth agent, or hands one
// job to the agent through the FIFO channel and waits for its status.
#include "backend/BidirectionalFIFO.h"
#include "backend/Logger.h"
#include "backend/PrintDataHandler.h"
#include "common/MainQueue.h"
#include "common/ProcessExit.h"

#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// CUPS runs a backend with six or seven arguments for a job (argv[0] included).
constexpr std::size_t kJobArgumentCount = 6;

std::string joined(const std::vector<std::string>& arguments)
{
    std::string text;
    for (const auto& argument : arguments)
        text += (text.empty() ? "" : " ") + argument;
    return text;
}

}  // namespace

int main(int argc, char* argv[])
{
    // A reader that goes away must give a write error, not end the backend.
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    std::setlocale(LC_TIME, "");

    std::vector<std::string> arguments(argv, argv + argc);
    const bool printsJob = arguments.size() >= kJobArgumentCount;
    // A listing's standard output is CUPS's device list: log lines go to standard error, which
    // CUPS keeps as debug messages.
    if (!printsJob)
        backend::Logger::setSharedConsole(stderr);
    pb::MainQueue& mainQueue = pb::MainQueue::shared();
    backend::Logger& logger = backend::Logger::shared();
    logger.log("bluetooth start");
    backend::PrintDataHandler& handler = backend::PrintDataHandler::shared();
    backend::BidirectionalFIFO& fifo = backend::BidirectionalFIFO::shared();
    fifo.onQueryCallback = [&handler](const std::string& name) { handler.discoverDevices(name); };

    if (printsJob) {
        logger.log("bluetooth print job");
        handler.processPrintJob(arguments, STDIN_FILENO);
    } else {
        logger.log("bluetooth handle status");
        handler.handlePrinterStatus(joined(arguments));
    }
    fifo.startReading();
    pb::exitProcess(mainQueue.run());
}
