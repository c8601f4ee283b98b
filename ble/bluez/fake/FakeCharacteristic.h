// One remote GATT characteristic as the Bluetooth service exports it: value, reads, writes
// of both kinds, notifications by signal (StartNotify) or by socket (AcquireNotify).
#pragma once

#include "ble/BleTypes.h"
#include "ble/Uuid.h"
#include "ble/bluez/fake/BusContext.h"
#include "ble/bluez/fake/ExportedProperties.h"
#include "ble/bluez/fake/NotifySocket.h"

#include <sdbus-c++/IObject.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace ble::bluez::fake {

struct CharacteristicHandlers {
    std::function<std::optional<Bytes>()> read;  // empty result: reading is not permitted
    // False when the value is longer than the link carries: the write fails.
    std::function<bool(const Bytes& value, bool withResponse)> write;
    std::function<void(bool notifying)> notifyingChanged;
};

class FakeCharacteristic {
public:
    // `notifyingAlready`: the peripheral restored its subscription by itself at connection.
    FakeCharacteristic(const BusContext& bus, std::string path, std::string servicePath, Uuid uuid,
                       CharacteristicProperties properties, std::uint16_t attMtu, CharacteristicHandlers handlers,
                       bool notifyingAlready);
    ~FakeCharacteristic();
    FakeCharacteristic(const FakeCharacteristic&) = delete;
    FakeCharacteristic& operator=(const FakeCharacteristic&) = delete;

    void announce();  // InterfacesAdded
    void withdraw();  // InterfacesRemoved; the object goes with this one
    // A notification from the peripheral; dropped unless notifications are on.
    void notify(const Bytes& value);
    // A client left the bus: its notification session ends.
    void clientLeft(const std::string& busName);

    const Uuid& uuid() const { return uuid_; }
    const std::string& path() const { return path_; }
    bool notifying() const { return !sessions_.empty() || socket_ != nullptr || restored_; }

private:
    PropertyMap properties() const;
    std::string sender() const;
    std::vector<std::uint8_t> readValue(const std::map<std::string, sdbus::Variant>& options);
    void writeValue(const std::vector<std::uint8_t>& value, const std::map<std::string, sdbus::Variant>& options);
    void startNotify();
    void stopNotify();
    std::tuple<sdbus::UnixFd, std::uint16_t> acquireNotify(const std::map<std::string, sdbus::Variant>& options);
    void socketClosed();
    // Tells the printer and the clients when `notifying()` differs from `before`.
    void notifyingUpdate(bool before, const PropertyMap& alsoChanged = {});
    void setValue(const Bytes& value);

    const BusContext& bus_;
    const std::string path_;
    const std::string servicePath_;
    const Uuid uuid_;
    const CharacteristicProperties properties_;
    const std::uint16_t attMtu_;
    CharacteristicHandlers handlers_;
    Bytes value_;
    std::set<std::string> sessions_;         // clients that called StartNotify
    std::shared_ptr<NotifySocket> socket_;   // AcquireNotify's
    bool restored_ = false;                  // on since the connection, asked by nobody
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace ble::bluez::fake
