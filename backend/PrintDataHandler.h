// The backend's two modes: listing devices from the agent's reports, and handing one job to
// the agent and waiting for its status.
#pragma once

#include "backend/BidirectionalFIFO.h"
#include "backend/CupsReporter.h"
#include "backend/Logger.h"
#include "common/MainQueue.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace backend {

struct HandlerTiming {
    std::chrono::steady_clock::duration printDataDelay = std::chrono::milliseconds(100);
    std::chrono::steady_clock::duration addPrintDelay = std::chrono::seconds(2);
    std::chrono::steady_clock::duration statusWait = std::chrono::seconds(30);
};

class PrintDataHandler {
public:
    // `deviceOutput` receives the device lines (standard output in the program). Nothing is
    // owned. `exitProcess` never returns in the program.
    PrintDataHandler(BidirectionalFIFO& fifo, Logger& logger, CupsReporter& cups, pb::MainQueue& mainQueue,
                     std::FILE* deviceOutput, std::function<void(int)> exitProcess, HandlerTiming timing = {});
    static PrintDataHandler& shared();

    // Listing mode: asks the agent for printers. `arguments` is every program argument joined
    // with single spaces.
    void handlePrinterStatus(std::string_view arguments);

    // Job mode, on the main thread: reads the job from `input` to its end, hands it over and
    // arms the status wait. `arguments` are the program's, argv[0] first.
    void processPrintJob(std::vector<std::string> arguments, int input);

    // Reads `input` until end of file or a read error, keeping what was read, and returns it as
    // hex text. Holds the bytes in blocks that are released as they are encoded, so the peak is
    // about the size of the text.
    std::shared_ptr<std::string> readPrintData(int input);

    // Sends "doPrint URI", writes the print data 0.1 s later and arms the status wait from then.
    void performPrint(const std::string& deviceUri, std::shared_ptr<const std::string> printData);

    // One "querycallback" report, on the read queue: prints the device line and sends
    // "addPrint NAME " 2 s later. A name that could forge a line is refused with a log line.
    void discoverDevices(std::string_view name);

private:
    void statusWaitExpired();

    BidirectionalFIFO& fifo_;
    Logger& logger_;
    CupsReporter& cups_;
    pb::MainQueue& mainQueue_;
    std::FILE* deviceOutput_;
    std::function<void(int)> exitProcess_;
    HandlerTiming timing_;
    // Set on the main queue by the write completions; read there by the status wait.
    bool commandTaken_ = false;
    bool printDataTaken_ = false;
};

}  // namespace backend
