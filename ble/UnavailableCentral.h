// The central used when no Bluetooth radio can be reached: it reports unsupported and does nothing.
#pragma once

#include "ble/Central.h"

namespace ble {

// State is unsupported from the start (a delegate learns it once, when set). Scans find
// nothing; a connection attempt fails with an error. Logs one line when created.
class UnavailableCentral : public Central {
public:
    static constexpr std::string_view kLogLine =
        "No Bluetooth radio is available: the system bus cannot be reached; "
        "set QUORVEL_BLE=sim to use the simulated radio.";

    UnavailableCentral(asio::io_context& mainQueue, const LogFunction& log);

    void scanForPeripherals() override {}
    void stopScan() override {}
    bool isScanning() const override { return false; }
    void connect(const std::shared_ptr<Peripheral>& peripheral) override;
    void cancelConnection(const std::shared_ptr<Peripheral>&) override {}
};

}  // namespace ble
