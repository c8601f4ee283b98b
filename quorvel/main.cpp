// quorvel, the Bluetooth agent: serves the backend's FIFO channel and delivers jobs to the
// printers over Bluetooth LE. Runs until it is ended from outside.
#include "ble/CentralFactory.h"
#include "common/ChildProcess.h"
#include "common/MainQueue.h"
#include "common/Version.h"
#include "common/Paths.h"
#include "common/ProcessExit.h"
#include "common/RootPath.h"
#include "quorvel/BLEPrinterManager.h"
#include "quorvel/BidirectionalFIFO.h"
#include "quorvel/BluetoothPrinterBroadcaster.h"
#include "quorvel/Logger.h"
#include "quorvel/MessageDispatcher.h"
#include "quorvel/PellBluetoothBackend.h"
#include "quorvel/PrinterChecker.h"
#include "quorvel/PrinterJobs.h"
#include "quorvel/PrinterListing.h"

#include <asio.hpp>

#include <clocale>
#include <csignal>
#include <memory>
#include <string_view>

using namespace quorvel;

namespace {

BluetoothPrinterBroadcaster::Scheduler onMainQueue(pb::MainQueue& mainQueue)
{
    return [&mainQueue](std::chrono::steady_clock::duration delay, std::function<void()> work) {
        mainQueue.postDelayed(delay, std::move(work));
    };
}

// The radio named by the environment, made once: the manager asks again at each access request
// and must get the same radio (the simulated one keeps its printers).
BLEPrinterManager::CentralFactory radioFactory(pb::MainQueue& mainQueue, Logger& logger)
{
    auto central = std::make_shared<std::shared_ptr<ble::Central>>();
    return [central, &mainQueue, &logger] {
        if (!*central)
            *central = ble::makeCentral(mainQueue.context(), [&logger](std::string_view line) { logger.log(line); });
        return *central;
    };
}

DispatcherActions dispatcherActions(PellBluetoothBackend& backend, BidirectionalFIFO& fifo, PrinterChecker& checker,
                                    PrinterJobs& jobs)
{
    return {
        [&backend] { backend.startScan(); },
        [&backend](const std::string& name) { backend.setDeviceName(name); },
        [&fifo] { fifo.startCommunication(); },
        [&checker](const std::string& name) { checker.checkPrinterLoop(name); },
        [&backend](const std::vector<std::string>& words) { backend.performStart(words); },
        [&jobs] { jobs.channelJobComing(); },
        [&jobs](const std::string& name) { jobs.cancelChannelJob(name); },
        [&fifo](std::optional<std::uint64_t> length) { fifo.expectPrintData(length); },
    };
}

// `--list`: the whitelisted printers in range, on standard output; the radio's lines go to
// the log file and standard error.
int listPrinters()
{
    pb::MainQueue& mainQueue = pb::MainQueue::shared();
    static Logger quietLogger(pb::rootedPath(pb::kAgentLogPath), [] { return true; }, stderr);
    auto central = ble::makeCentral(mainQueue.context(), [](std::string_view line) { quietLogger.log(line); });
    auto listing = std::make_shared<PrinterListing>(mainQueue.context(), stdout, [&mainQueue] { mainQueue.stop(0); });
    listing->start(central);
    return mainQueue.run();
}

constexpr const char* kUsage =
    "usage: quorvel [--list | --help | --version]\n"
    "Without options, runs the Bluetooth agent that serves the pellbluetooth CUPS backend.\n"
    "  --list       scan for 10 seconds and print the supported printers in range\n"
    "  --help       print this text\n"
    "  --version    print the version\n";

// The one option given, if any; exits with a usage line (status 2) on anything else.
std::string_view optionOf(int argc, char** argv)
{
    const std::string_view option = argc > 1 ? argv[1] : "";
    if (argc <= 2 && (option.empty() || option == "--list" || option == "--help" || option == "--version"))
        return option;
    std::fprintf(stderr, "quorvel: unknown option %s\n%s", argc > 2 ? argv[2] : argv[1], kUsage);
    pb::exitProcess(2);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view option = optionOf(argc, argv);
    if (option == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (option == "--version") {
        std::printf("quorvel %s\n", pb::kVersion);
        return 0;
    }
    if (option == "--list")
        pb::exitProcess(listPrinters());

    // A backend that goes away while a reply is written must give a write error, not end us.
    std::signal(SIGPIPE, SIG_IGN);
    std::setlocale(LC_TIME, "");
    pb::MainQueue& mainQueue = pb::MainQueue::shared();

    Logger& logger = Logger::shared();
    logger.log("quorvel 启动中...");
    logger.log("quorvel app: main entry");
    logger.log("pellblue backend waiting FIFO input...");

    BidirectionalFIFO& fifo = BidirectionalFIFO::shared();

    auto bleManager = std::make_shared<BLEPrinterManager>(radioFactory(mainQueue, logger), mainQueue.context(), logger);
    BluetoothPrinterBroadcaster managerBroadcaster(fifo, logger, onMainQueue(mainQueue));
    BluetoothPrinterBroadcaster backendBroadcaster(fifo, logger, onMainQueue(mainQueue));
    PrinterJobs jobs({*bleManager, fifo, logger, mainQueue.context(), [bleManager] { bleManager->ensureScanning(); }});
    bleManager->setJobEndCallback([&jobs](const JobEnd& end) { jobs.jobEnded(end); });
    bleManager->setWantedPrinter([&jobs](const std::string& name) { return jobs.wantsPrinter(name); });
    PellBluetoothBackend backend(*bleManager, backendBroadcaster, logger, PellBluetoothBackend::rootedPaths(), jobs,
                                 mainQueue.context());
    pb::PosixProcessRunner processes;
    SteadyCheckerClock checkerClock;
    PrinterChecker checker({logger, processes, stdout, backend, [bleManager] { bleManager->startScan(); },
                            checkerClock, std::make_unique<AsioTimerQueue>(kLoopCheckerLabel),
                            std::make_unique<AsioTimerQueue>(kAddCheckerLabel)},
                           PrinterChecker::rootedToolPaths());
    bleManager->attach(backend, checker, managerBroadcaster);

    MessageDispatcher dispatcher(logger, dispatcherActions(backend, fifo, checker, jobs));
    fifo.callback = [&dispatcher](const std::string& text) { dispatcher.dispatch(text); };
    fifo.printDataCallback = [&backend, &fifo](std::string text) {
        // One text per "doPrint": the next job starts its own reader, after its own "doPrint".
        fifo.stopReading();
        backend.doPrint(std::move(text));
    };
    fifo.currentDeviceName = [bleManager] { return bleManager->deviceName().value_or(""); };

    backend.requestBluetooth();
    fifo.start();

    // Signals only stop the main queue; the process then ends without unwinding, since other
    // threads wait in FIFO opens and reads.
    asio::signal_set signals(mainQueue.context(), SIGINT, SIGTERM, SIGHUP);
    signals.async_wait([&mainQueue](const asio::error_code& error, int) {
        if (!error)
            mainQueue.stop(0);
    });
    pb::exitProcess(mainQueue.run());
}
