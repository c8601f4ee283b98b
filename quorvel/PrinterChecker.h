// The CUPS queue checker: which printers have a queue (lpstat -v) and the queues' online and
// offline state (lpadmin). The repeating checks are not built yet and only log.
#pragma once

#include "common/ChildProcess.h"
#include "quorvel/Logger.h"
#include "quorvel/PrinterQueueTracker.h"

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

class PrinterChecker : public PrinterQueueTracker {
public:
    struct Collaborators {
        Logger& logger;
        pb::ProcessRunner& processes;
        std::FILE* console;  // lines that go to standard output rather than the log; not owned
        // A USB queue seen in the queue list (the orchestrator reports it to the backend).
        std::function<void(const std::string& name)> reportUsbPrinter;
        // Asks the BLE manager for a new scan (after a queue went offline).
        std::function<void()> startBleScan;
    };

    // `lpstatPath` and `lpadminPath` are run as they are (main passes them under the root prefix).
    PrinterChecker(Collaborators collaborators, std::string lpstatPath, std::string lpadminPath);

    bool isPrinterAdded(const std::string& printerName) override;
    void setPrinterOnline(const std::optional<std::string>& printerName) override;
    void setPrinterOffline(const std::string& printerName) override;
    void checkPrinterLoop() override;
    void stopCheckLoop() override;
    // Waits for the queue of `printerName` to appear; not built yet, only logs.
    void checkPrinterLoop(const std::string& printerName);

    // The printer names of the pellbluetooth queues, in the order lpstat lists them; USB queues
    // are handed to reportUsbPrinter on the way. Empty when lpstat cannot be run.
    std::vector<std::string> getPrinters();

    // The text after "pellbluetooth://" (or "usb://") up to the next slash; empty when the line
    // has none.
    static std::optional<std::string> extractBTPrinterName(const std::string& line);
    static std::optional<std::string> extractUsbPrinterName(const std::string& line);

private:
    void setPrinterState(const std::string& printerName, const char* state, const char* word);

    Collaborators collaborators_;
    std::string lpstatPath_;
    std::string lpadminPath_;
};

}  // namespace quorvel
