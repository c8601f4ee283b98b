// The simulated radio: a deterministic in-process central whose devices are virtual printers.
#pragma once

#include "ble/Central.h"
#include "ble/sim/ControlChannel.h"
#include "ble/sim/ControlCommand.h"
#include "ble/sim/SimulatedPeripheral.h"
#include "ble/sim/VirtualPrinter.h"

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ble::sim {

struct SimulatedPrinter {
    std::string name;
    PrinterSettings settings;
};

struct SimulatedRadioSettings {
    std::vector<SimulatedPrinter> printers;
    // Each printer prints into outputFolder/<its name made safe for a file name>; empty:
    // the printers keep nothing.
    std::filesystem::path outputFolder;
    std::chrono::milliseconds advertisingInterval{100};
    // Time from a connection request to the connected callback; 0: the next turn of the queue.
    std::chrono::milliseconds connectionLatency{0};
    int rssi = -50;
    bool poweredOn = true;  // the state the radio reaches just after creation
    // Where to make the control FIFO whose lines (see ControlCommand) act on the printers;
    // empty: no control channel.
    std::filesystem::path controlFifo{};
    LogFunction log;
};

// Everything happens on the main queue in an order fixed by the calls and the timers, so a
// test that runs the io_context sees the same callbacks in the same order each time.
//
// Behaviour beyond the Central contract:
// - The radio starts in state unknown and reports poweredOn (or poweredOff) on the main
//   queue's first turn.
// - While a scan runs, every device that is not connected advertises once per
//   advertisingInterval, the first round at once; connected devices do not advertise.
// - Printers offer the service and characteristics of PrinterGatt. A bare advertiser
//   connects but offers no service.
// - Devices are independent: several may be connected, written and dropped at once.
// - A device out of range does not advertise, and a connection request to it stays pending
//   (connecting) until it comes back or is cancelled.
//
// Test controls below may be called from any thread; like the operations they take effect
// on the main queue in call order. Controls naming a device act on the first device with
// that name and log a line when there is none. Accessors are for the main queue's thread.
class SimulatedCentral : public Central {
public:
    static std::shared_ptr<SimulatedCentral> create(asio::io_context& mainQueue, SimulatedRadioSettings settings);
    // Use create(): the central must be owned by a std::shared_ptr.
    SimulatedCentral(asio::io_context& mainQueue, SimulatedRadioSettings settings);
    ~SimulatedCentral() override;

    void scanForPeripherals() override;
    void stopScan() override;
    bool isScanning() const override { return scanning_.load(); }
    void connect(const std::shared_ptr<Peripheral>& peripheral) override;
    void cancelConnection(const std::shared_ptr<Peripheral>& peripheral) override;

    // Test controls.
    void setPowered(bool on);
    void addPrinter(SimulatedPrinter printer);
    void addAdvertiser(std::optional<std::string> name);  // no name: advertises without one
    void dropLink(const std::string& name);               // didDisconnect with an error
    // Out of range: the link ends (didDisconnect with an error) and advertising stops; back in
    // range: advertising resumes and a pending connection completes. The printer keeps what
    // it has buffered either way.
    void setInRange(const std::string& name, bool inRange);
    void setRate(const std::string& name, std::uint64_t bytesPerSecond);  // 0: consumes at once
    void failNextConnection(const std::string& name);     // didFailToConnect instead of didConnect
    void setGrantingCredits(const std::string& name, bool granting);
    void setMtu(const std::string& name, std::uint16_t mtu);     // reported on FF03 at once
    void reportStatus(const std::string& name, std::uint8_t status);  // FF ss on FF01
    void reportError(const std::string& name, const std::string& text);  // the text on FF01
    // Any value on any notifying characteristic (dropped when its notifications are off).
    void notify(const std::string& name, const Uuid& characteristic, Bytes value);

    // Accessors, main queue's thread only.
    std::shared_ptr<SimulatedPeripheral> device(const std::string& name) const;
    std::optional<PrinterStats> printerStats(const std::string& name) const;
    const std::vector<std::shared_ptr<SimulatedPeripheral>>& devices() const { return devices_; }

private:
    void post(std::function<void(SimulatedCentral&)> work);
    void withDevice(const std::string& name, std::function<void(SimulatedPeripheral&)> work);
    std::shared_ptr<SimulatedCentral> self();
    std::shared_ptr<SimulatedPeripheral> ownDevice(const std::shared_ptr<Peripheral>& peripheral) const;
    std::shared_ptr<SimulatedPeripheral> makePrinter(const SimulatedPrinter& printer);
    void attach(const std::shared_ptr<SimulatedPeripheral>& device);
    void advertiseRound(std::uint64_t generation);
    void onConnect(const std::shared_ptr<SimulatedPeripheral>& device);
    void finishConnecting(const std::shared_ptr<SimulatedPeripheral>& device);
    void endLink(const std::shared_ptr<SimulatedPeripheral>& device, std::optional<BleError> error);
    void powerOff();
    void openControlChannel();
    void applyControlLine(const std::string& line);
    void changeRange(const std::shared_ptr<SimulatedPeripheral>& device, bool inRange);
    void loseLink(const std::shared_ptr<SimulatedPeripheral>& device);
    void apply(const ControlCommand& command, const std::shared_ptr<SimulatedPeripheral>& device);
    void applyToRadio(const ControlCommand& command);
    void complainAboutControl(const std::string& problem);
    void log(const std::string& line) const;

    SimulatedRadioSettings settings_;
    std::vector<std::shared_ptr<SimulatedPeripheral>> devices_;
    std::set<std::string> outputFolders_;
    asio::steady_timer advertisingTimer_;
    // A scan is a generation: stopScan starts a new one at once, on the caller's thread, so
    // advertisements already queued for the old one are not delivered.
    std::atomic<std::uint64_t> scanGeneration_{0};
    std::atomic<bool> scanning_{false};
    std::uint64_t controlComplaints_ = 0;  // main queue
    // Last member: its thread stops before anything it posts work for goes.
    std::unique_ptr<ControlChannel> control_;
};

}  // namespace ble::sim
