// The central on BlueZ's D-Bus API: adapter state, discovery and LE connections, with the
// bus connection run on the main queue.
#pragma once

#include "ble/Central.h"
#include "ble/bluez/BluezError.h"
#include "ble/bluez/BluezPeripheral.h"
#include "ble/bluez/BusClient.h"
#include "ble/bluez/ObjectTree.h"

#include <sdbus-c++/IConnection.h>

#include <asio.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace ble::bluez {

// Behaviour beyond the Central contract:
// - State: poweredOn/poweredOff from the adapter's Powered (hci0 preferred, else the first
//   adapter); unsupported while BlueZ runs without an adapter; unknown while nothing owns
//   org.bluez. A restarted bluetoothd ends every link and the tree is read again.
// - A scan reports a device each time BlueZ reports it (its object appearing, or a change of
//   RSSI, advertising data or name); a scan's start reports the devices BlueZ already knows
//   that have an RSSI or are connected. Connected devices that were connected before this
//   process started are reported that way so that the agent can use them; connecting one
//   reports didConnect.
// - Discovery pauses while a connection is being made (BlueZ aborts LE connections made
//   during discovery) and resumes afterwards while a scan is wanted.
class BluezCentral : public Central {
public:
    // Use create(): the central must be owned by a std::shared_ptr. Throws sdbus::Error when
    // the connection cannot be set up.
    static std::shared_ptr<BluezCentral> create(asio::io_context& mainQueue,
                                                std::unique_ptr<sdbus::IConnection> connection, LogFunction log);
    BluezCentral(asio::io_context& mainQueue, std::unique_ptr<sdbus::IConnection> connection, LogFunction log);
    ~BluezCentral() override;

    void scanForPeripherals() override;
    void stopScan() override;
    bool isScanning() const override { return scanWanted_.load(); }
    void connect(const std::shared_ptr<Peripheral>& peripheral) override;
    void cancelConnection(const std::shared_ptr<Peripheral>& peripheral) override;

    // Main queue only, for the peripherals.
    BusClient& bus() { return bus_; }
    const ObjectTree& tree() const { return tree_; }
    void log(const std::string& line) const;

private:
    void post(std::function<void(BluezCentral&)> work);
    std::shared_ptr<BluezCentral> self();
    void start();
    void watchSignals();
    void readTree();
    void onManagedObjects(sdbus::MethodReply& reply);
    void onInterfacesAdded(sdbus::Message& signal);
    void onInterfacesRemoved(sdbus::Message& signal);
    void onPropertiesChanged(sdbus::Message& signal);
    void onNameOwnerChanged(sdbus::Message& signal);
    void bluezGone(const std::string& why);

    // State.
    void chooseAdapter();
    void updateState();
    void endAllLinks(const std::string& why);

    // Devices.
    std::shared_ptr<BluezPeripheral> deviceAt(const std::string& path);
    std::shared_ptr<BluezPeripheral> ownDevice(const std::shared_ptr<Peripheral>& peripheral) const;
    void deviceSeen(const std::string& path, const Properties& properties, bool appeared);
    void deviceConnectedChanged(const std::shared_ptr<BluezPeripheral>& device, bool connected);
    void reportDiscovery(const std::shared_ptr<BluezPeripheral>& device, int rssi);
    void reportKnownDevices();

    // Discovery.
    void reconcileDiscovery();
    void setDiscovery(bool on);

    // Connections.
    void sendConnect(const std::shared_ptr<BluezPeripheral>& device);
    void connectReplied(const std::shared_ptr<BluezPeripheral>& device, std::uint64_t generation,
                        const BusError* error);
    void finishConnect(const std::shared_ptr<BluezPeripheral>& device);
    void failConnect(const std::shared_ptr<BluezPeripheral>& device, BleError error);
    void endLink(const std::shared_ptr<BluezPeripheral>& device, std::optional<BleError> error);
    void disconnectDevice(const std::string& path);
    bool anyConnecting() const;

    LogFunction log_;
    BusClient bus_;
    ObjectTree tree_;
    std::string adapterPath_;
    bool bluezRunning_ = false;
    std::uint64_t treeGeneration_ = 0;  // a tree read outdated by a restart is dropped
    // Devices by the last element of their path (dev_XX_...), so one device stays one object
    // across adapters and bluetoothd restarts.
    std::map<std::string, std::shared_ptr<BluezPeripheral>> devices_;
    std::set<std::string> namesLogged_;
    // A scan is a generation: stopScan starts a new one at once, on the caller's thread, so
    // discoveries already queued for the old one are not delivered.
    std::atomic<std::uint64_t> scanGeneration_{0};
    std::atomic<bool> scanWanted_{false};
    bool discoveryOn_ = false;         // what was last asked of BlueZ
    bool discoveryCallPending_ = false;
    bool discoveryFailed_ = false;     // StartDiscovery failed; asked again at the next scan
};

}  // namespace ble::bluez
