// What the CUPS queue checker asks of the print-job orchestrator: connect or disconnect a
// printer whose queue appeared or went, and report a USB queue to the backend.
#pragma once

#include <string>

namespace quorvel {

// Implemented by PellBluetoothBackend. Called from the checker's two serial queues, possibly
// at the same time; implementations are thread-safe and never call back into the checker.
class PrinterConnections {
public:
    virtual ~PrinterConnections() = default;
    // Points the BLE manager at `name` and connects it; true when a connection was started or
    // the printer is connected already.
    virtual bool startConnect(const std::string& name) = 0;
    // Ends the link to `name` and forgets the orchestrator's device name.
    virtual void disconnectPrinter(const std::string& name) = 0;
    // Reports `deviceName` to the backend unless a report is already out (until a job ends).
    virtual void startBroadcasting(const std::string& deviceName) = 0;
    // True while a link to the printer `name` (its advertised name, or the start of it) is up.
    virtual bool isPrinterConnected(const std::string& name) = 0;
    // Starts a scan unless one runs, so that printers with a queue that are not connected
    // are found when they come in range. Never drops a link.
    virtual void ensureScanning() = 0;
};

}  // namespace quorvel
