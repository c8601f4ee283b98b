// A remote Bluetooth LE device as the central sees it: name, link state, GATT operations.
#pragma once

#include "ble/BleTypes.h"
#include "ble/Characteristic.h"
#include "ble/PeripheralDelegate.h"
#include "ble/Service.h"
#include "ble/Uuid.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ble {

// Peripherals are created by the central (always through std::make_shared) and handed out
// as std::shared_ptr; a device is the same object for as long as the central lives, so
// users compare peripherals by pointer.
//
// Threads: every member may be called from any thread. An operation only queues its work;
// its effect and its callback come later on the main queue, in call order. Writes without
// response reach the device in the order they were called.
//
// The delegate is held weakly: callbacks for a delegate that has gone are dropped.
class Peripheral : public std::enable_shared_from_this<Peripheral> {
public:
    using Services = std::vector<std::shared_ptr<Service>>;

    virtual ~Peripheral() = default;
    Peripheral(const Peripheral&) = delete;
    Peripheral& operator=(const Peripheral&) = delete;

    // The advertised name; empty when the device advertises none.
    std::optional<std::string> name() const;
    PeripheralState state() const { return state_.load(); }
    // The device's Bluetooth address, when the radio knows one ("AA:BB:CC:DD:EE:FF").
    virtual std::optional<std::string> address() const { return std::nullopt; }

    void setDelegate(std::weak_ptr<PeripheralDelegate> delegate);
    std::shared_ptr<PeripheralDelegate> delegate() const;

    // Services found by the latest discovery; empty optional before one, and again after the
    // connection ends.
    std::optional<Services> services() const;

    // Finds the listed services (all of them for an empty list): didDiscoverServices.
    virtual void discoverServices(const std::vector<Uuid>& serviceUuids) = 0;
    // Finds all characteristics of one of services(): didDiscoverCharacteristics.
    virtual void discoverCharacteristics(const std::shared_ptr<Service>& service) = 0;
    // Reads the value once: didUpdateValue.
    virtual void readValue(const std::shared_ptr<Characteristic>& characteristic) = 0;
    // Turns notifications on or off; each notification is a didUpdateValue.
    virtual void setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) = 0;
    // The longest value one write of this type may carry.
    virtual std::size_t maximumWriteValueLength(WriteType type) const = 0;
    // Writes `value`. With response: a didWriteValue follows. Without response: no callback;
    // a write that cannot be carried out (no link, characteristic lacking the property) is
    // dropped, as on the air.
    virtual void writeValue(Bytes value, const std::shared_ptr<Characteristic>& characteristic,
                            WriteType type) = 0;

protected:
    explicit Peripheral(std::optional<std::string> name) : name_(std::move(name)) {}

    void setName(std::optional<std::string> name);
    void setState(PeripheralState state) { state_.store(state); }
    void setServices(std::optional<Services> services);

private:
    mutable std::mutex mutex_;
    std::optional<std::string> name_;
    std::weak_ptr<PeripheralDelegate> delegate_;
    std::optional<Services> services_;
    std::atomic<PeripheralState> state_{PeripheralState::disconnected};
};

}  // namespace ble
