// What the BLE manager asks of the print-job orchestrator when the radio powers on.
#pragma once

namespace quorvel {

// Implemented by PellBluetoothBackend: its startScan() points the BLE manager at the
// orchestrator's device name (checkBleMgr) and then calls the manager's startScan().
// Called on the main queue, never while the manager holds its lock.
class ScanRequester {
public:
    virtual ~ScanRequester() = default;
    virtual void startScan() = 0;
};

}  // namespace quorvel
