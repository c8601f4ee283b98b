// What the BLE manager asks of its discovery broadcaster: "querycallback" reports to the
// backend.
#pragma once

#include <string>

namespace quorvel {

// Implemented by BluetoothPrinterBroadcaster (the manager's own instance). Called on the
// main queue or on the thread that called the manager's startScan/connect/stopScan, possibly
// while the manager holds its lock (so its log lines keep their place): an implementation
// must return at once and must not call back into the manager.
class DiscoveryReporter {
public:
    virtual ~DiscoveryReporter() = default;
    // Reports `printerName` to the backend, at once or deferred to keep reports 3 s apart.
    virtual void startBroadcasting(const std::string& printerName) = 0;
    // Logs "Stopped broadcasting"; deferred reports still go out.
    virtual void stopBroadcasting() = 0;
};

}  // namespace quorvel
