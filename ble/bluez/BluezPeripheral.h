// A device under BlueZ's adapter as a ble::Peripheral: GATT discovery from BlueZ's object
// tree, notifications (AcquireNotify, else StartNotify) and ordered writes.
#pragma once

#include "ble/Peripheral.h"
#include "ble/bluez/BluezError.h"
#include "ble/bluez/NotifyStream.h"
#include "ble/bluez/ObjectTree.h"

#include <asio.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ble::bluez {

class BluezCentral;

// Operations post their work to the main queue, as the contract asks. The members below the
// public Peripheral ones are the central's and run on the main queue only.
class BluezPeripheral : public Peripheral {
public:
    BluezPeripheral(asio::io_context& mainQueue, std::weak_ptr<BluezCentral> central, std::string path,
                    std::string address);
    ~BluezPeripheral() override;

    std::optional<std::string> address() const override { return address_; }

    void discoverServices(const std::vector<Uuid>& serviceUuids) override;
    void discoverCharacteristics(const std::shared_ptr<Service>& service) override;
    void readValue(const std::shared_ptr<Characteristic>& characteristic) override;
    void setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) override;
    std::size_t maximumWriteValueLength(WriteType type) const override;
    void writeValue(Bytes value, const std::shared_ptr<Characteristic>& characteristic, WriteType type) override;

    // Main queue only, for the central.
    const std::string& path() const { return path_; }
    void setPath(std::string path) { path_ = std::move(path); }
    // Keeps the first non-empty name: the agent keys printers on it.
    void offerName(const std::string& name);
    void beginConnecting();
    void linkUp();
    // Ends the link on this side: operations in flight are forgotten, notifications stop and
    // the services go.
    void linkDown();
    std::uint64_t linkGeneration() const { return linkGeneration_; }
    // Whether this attempt's Device1.Connect has gone out (it waits while discovery stops),
    // and whether its reply is still to come.
    bool connectSent() const { return connectSent_; }
    bool connectReplyPending() const { return connectReplyPending_; }
    void markConnectSent() { connectSent_ = connectReplyPending_ = true; }
    void markConnectReplied() { connectReplyPending_ = false; }
    // A property change on one of this device's objects (itself or a GATT object below it).
    void propertiesChanged(const std::string& path, const std::string& interface, const Properties& changed);

private:
    struct CharacteristicEntry {
        std::shared_ptr<Characteristic> characteristic;
        std::string path;
        bool notifyWanted = false;
        std::shared_ptr<NotifyStream> stream;  // set while AcquireNotify's socket is open
    };
    struct PendingWrite {
        Bytes value;
        std::shared_ptr<Characteristic> characteristic;
        WriteType type;
        bool refused = false;  // no link, or the characteristic lacks the property
    };

    void post(std::function<void(BluezPeripheral&)> work);
    std::shared_ptr<BluezPeripheral> self();
    std::shared_ptr<BluezCentral> central() const;
    void log(const std::string& line) const;
    void logBusError(const std::string& what, const BusError& error) const;
    CharacteristicEntry* entryOf(const std::shared_ptr<Characteristic>& characteristic);
    CharacteristicEntry* entryAt(const std::string& path);

    void whenServicesResolved(std::vector<Uuid> uuids);
    void servicesResolved();
    void finishServiceDiscovery(const std::vector<Uuid>& uuids);
    void failServiceDiscovery(const std::string& why);
    void deliverServices(std::optional<BleError> error);
    void noteMtu(std::uint16_t attMtu);

    void startNotifications(CharacteristicEntry& entry);
    void stopNotifications(CharacteristicEntry& entry);
    void acquired(const std::string& path, std::uint64_t generation, int fd, std::uint16_t mtu);
    void notificationsOn(CharacteristicEntry& entry);
    void notification(const std::string& path, Bytes value);
    void deliverValue(const std::shared_ptr<Characteristic>& characteristic, Bytes value,
                      std::optional<BleError> error);

    void pumpWrites();
    void sendWrite(PendingWrite write);

    asio::io_context& mainQueue_;
    std::weak_ptr<BluezCentral> central_;
    std::string path_;
    const std::string address_;
    std::atomic<std::size_t> maxWriteLength_;
    std::uint64_t linkGeneration_ = 0;
    bool mtuLogged_ = false;
    bool connectSent_ = false;
    bool connectReplyPending_ = false;

    // Service discovery waiting for ServicesResolved.
    std::optional<std::vector<Uuid>> servicesWanted_;
    asio::steady_timer resolveTimer_;
    std::map<std::shared_ptr<Service>, std::string> servicePaths_;
    std::map<std::string, CharacteristicEntry> characteristics_;  // by object path
    // What a link found, by object path: the same attribute is the same object on the next
    // link, as long as it keeps its UUID and properties.
    std::map<std::string, std::shared_ptr<Service>> knownServices_;
    std::map<std::string, std::shared_ptr<Characteristic>> knownCharacteristics_;
    // Values notified before the agent turned the characteristic's notifications on.
    std::map<std::string, std::deque<Bytes>> heldValues_;

    std::deque<PendingWrite> writes_;
    unsigned writesInFlight_ = 0;
};

}  // namespace ble::bluez
