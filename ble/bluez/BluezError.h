// A failed D-Bus call to BlueZ: its error name and message, and what the central makes of it.
#pragma once

#include "ble/BleTypes.h"

#include <string>

namespace ble::bluez {

struct BusError {
    std::string name;     // e.g. org.bluez.Error.Failed
    std::string message;  // e.g. le-connection-abort-by-local

    // "name: message", bounded and with unprintable bytes masked (both come from outside).
    std::string text() const;
    BleError toBleError() const { return BleError{text()}; }
    // Another request of the same kind is pending: wait for it rather than fail.
    bool meansInProgress() const;
    bool meansAlreadyConnected() const;
    bool meansAlreadyDiscovering() const { return meansInProgress(); }
};

}  // namespace ble::bluez
