// A device on the simulated radio: a virtual printer, or a bare advertiser with no services.
#pragma once

#include "ble/Peripheral.h"
#include "ble/sim/PrinterOutput.h"
#include "ble/sim/VirtualPrinter.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace ble::sim {

class SimulatedCentral;

// Operations follow the Peripheral contract: they post their work to the main queue. The
// members below the public Peripheral ones are the radio's and run on the main queue only.
class SimulatedPeripheral : public Peripheral {
public:
    // A virtual printer; `output` may be null (nothing is written anywhere). `log` takes the
    // printer's own lines (writes the link lost), on the main queue.
    SimulatedPeripheral(asio::io_context& mainQueue, std::string name, PrinterSettings settings,
                        std::unique_ptr<PrinterOutput> output, LogFunction log);
    // A device that advertises `name` (or nothing) and offers no services.
    SimulatedPeripheral(asio::io_context& mainQueue, std::optional<std::string> name);
    ~SimulatedPeripheral() override;

    // Made up from the name, so that it stays the same from run to run; none without a name.
    std::optional<std::string> address() const override;
    void discoverServices(const std::vector<Uuid>& serviceUuids) override;
    void discoverCharacteristics(const std::shared_ptr<Service>& service) override;
    void readValue(const std::shared_ptr<Characteristic>& characteristic) override;
    void setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) override;
    std::size_t maximumWriteValueLength(WriteType type) const override;
    void writeValue(Bytes value, const std::shared_ptr<Characteristic>& characteristic, WriteType type) override;

    // Main queue only, for the radio and its test controls.
    VirtualPrinter* printer() { return printer_.get(); }
    const PrinterOutput* output() const { return output_.get(); }
    void beginConnecting() { setState(PeripheralState::connecting); }
    void completeConnection() { setState(PeripheralState::connected); }
    // Right after the connected callback is queued: a printer that keeps its FF03
    // subscription across links reports on it now, behind that callback.
    void linkEstablished();
    // Ends the link: subscriptions and discovered services go, reports not yet delivered
    // are dropped. The printer keeps printing what it has buffered, and its command stream
    // goes on with the next link's bytes where this one left it, as a printer's firmware does.
    void endLink();
    // Out of range a device neither advertises nor completes a connection; the radio asks.
    bool inRange() const { return inRange_; }
    void setInRange(bool inRange) { inRange_ = inRange; }
    // The printer's consumption rate in bytes per second (0: at once), from the chunk it is on.
    void setRate(std::uint64_t bytesPerSecond);
    // The next `count` connection attempts fail.
    void failConnections(int count) { failuresToCome_ += count; }
    bool takeConnectionFailure();
    // Sends a report on a characteristic; false when its notifications are off.
    bool report(const Uuid& characteristic, Bytes value);
    std::uint64_t droppedWrites() const { return droppedWrites_; }
    // Called when the printer asks for its link to be dropped; the radio ends the link.
    void setLinkLossHandler(std::function<void()> handler) { linkLossHandler_ = std::move(handler); }

private:
    void post(std::function<void(SimulatedPeripheral&)> work);
    std::shared_ptr<SimulatedPeripheral> self();
    std::shared_ptr<Characteristic> ownCharacteristic(const std::shared_ptr<Characteristic>& candidate) const;
    void deliverNotification(const Uuid& characteristic, Bytes value);
    void deliverValue(const std::shared_ptr<Characteristic>& characteristic, std::optional<Bytes> value,
                      std::optional<BleError> error);
    void deliverWrite(const std::shared_ptr<Characteristic>& characteristic, std::optional<BleError> error);
    void onWrite(const Bytes& value, const std::shared_ptr<Characteristic>& characteristic, WriteType type);
    void onDataWrite(const Bytes& value);
    void scheduleConsumption();
    void log(const std::string& line) const;

    asio::io_context& mainQueue_;
    // Fixed at construction: read from any thread through maximumWriteValueLength.
    const std::size_t maxWriteWithoutResponse_ = kMaxAttributeLength;
    LogFunction log_;
    std::unique_ptr<PrinterOutput> output_;
    std::unique_ptr<VirtualPrinter> printer_;
    std::shared_ptr<Service> service_;  // null for a bare advertiser
    std::map<Uuid, std::shared_ptr<Characteristic>> characteristics_;
    asio::steady_timer consumeTimer_;
    bool consuming_ = false;
    std::uint64_t consumeGeneration_ = 0;  // a rate change outdates the wait in progress
    std::chrono::steady_clock::time_point printedUntil_{};
    std::uint64_t linkGeneration_ = 0;
    int failuresToCome_ = 0;
    std::uint64_t droppedWrites_ = 0;
    std::uint64_t oversizedLogged_ = 0;
    bool inRange_ = true;
    std::function<void()> linkLossHandler_;
};

}  // namespace ble::sim
