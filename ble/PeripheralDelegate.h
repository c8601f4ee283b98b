// Callbacks a peripheral delivers to its user.
#pragma once

#include "ble/BleTypes.h"

#include <memory>
#include <optional>

namespace ble {

class Characteristic;
class Peripheral;
class Service;

// Every callback runs on the main queue (the io_context given to the central), posted there
// by the radio: never on the stack of the call that caused it, and one at a time, in the
// order the radio produced them. An empty error means success. The default implementations
// do nothing, so a delegate overrides only what it uses.
class PeripheralDelegate {
public:
    virtual ~PeripheralDelegate() = default;

    // After discoverServices: peripheral.services() holds the services found.
    virtual void didDiscoverServices(const std::shared_ptr<Peripheral>& peripheral,
                                     const std::optional<BleError>& error) {
        (void)peripheral, (void)error;
    }
    // After discoverCharacteristics: service.characteristics() holds them.
    virtual void didDiscoverCharacteristics(const std::shared_ptr<Peripheral>& peripheral,
                                            const std::shared_ptr<Service>& service,
                                            const std::optional<BleError>& error) {
        (void)peripheral, (void)service, (void)error;
    }
    // After readValue, and for every notification while notifying is on; the value is
    // characteristic.value().
    virtual void didUpdateValue(const std::shared_ptr<Peripheral>& peripheral,
                                const std::shared_ptr<Characteristic>& characteristic,
                                const std::optional<BleError>& error) {
        (void)peripheral, (void)characteristic, (void)error;
    }
    // After a write with response only.
    virtual void didWriteValue(const std::shared_ptr<Peripheral>& peripheral,
                               const std::shared_ptr<Characteristic>& characteristic,
                               const std::optional<BleError>& error) {
        (void)peripheral, (void)characteristic, (void)error;
    }
};

}  // namespace ble
