// What the BLE manager asks of the CUPS queue checker: queue presence and queue state.
#pragma once

#include <optional>
#include <string>

namespace quorvel {

// Implemented by PrinterChecker. The manager calls these from the main queue (connection
// callbacks, discovery) and from whatever thread called startScan; never while it holds its
// own lock, so an implementation may call back into the manager (setPrinterOffline ends with
// a new scan).
class PrinterQueueTracker {
public:
    virtual ~PrinterQueueTracker() = default;

    // True when a CUPS queue exists whose device name contains `printerName` or is contained
    // in it. May block while the queue list is read.
    virtual bool isPrinterAdded(const std::string& printerName) = 0;
    // Marks the queue online; an empty name does nothing.
    virtual void setPrinterOnline(const std::optional<std::string>& printerName) = 0;
    // Marks the queue offline, then asks the BLE manager for a new scan.
    virtual void setPrinterOffline(const std::string& printerName) = 0;
    // Starts (or restarts) the repeating queue-list check.
    virtual void checkPrinterLoop() = 0;
    // Stops the repeating queue-list check.
    virtual void stopCheckLoop() = 0;
    // True while a printer that has a queue is not connected, so a scan stopped for a
    // connection should go on. May block while the queue list is read.
    virtual bool waitsForPrinters() { return false; }
};

}  // namespace quorvel
