// Bus names, interfaces and errors of the Bluetooth service as a central sees them.
#pragma once

#include <sdbus-c++/Error.h>

#include <string>

namespace ble::bluez::fake {

inline constexpr const char* kBluezService = "org.bluez";
inline constexpr const char* kAdapterPath = "/org/bluez/hci0";
inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceInterface = "org.bluez.Device1";
inline constexpr const char* kGattServiceInterface = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristicInterface = "org.bluez.GattCharacteristic1";
inline constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

// What a connection aborted on this side reports: also what the service answers when an LE
// connection cannot be made while discovery runs, or was given up.
inline constexpr const char* kLocalAbort = "le-connection-abort-by-local";

inline sdbus::Error bluezError(const std::string& name, const std::string& text) {
    return sdbus::Error("org.bluez.Error." + name, text);
}
inline sdbus::Error failedError(const std::string& text) { return bluezError("Failed", text); }
inline sdbus::Error inProgressError() { return bluezError("InProgress", "Operation already in progress"); }
inline sdbus::Error notReadyError() { return bluezError("NotReady", "Resource Not Ready"); }
inline sdbus::Error notConnectedError() { return bluezError("NotConnected", "Not Connected"); }
inline sdbus::Error notSupportedError() { return bluezError("NotSupported", "Operation is not supported"); }
inline sdbus::Error notPermittedError(const std::string& text) { return bluezError("NotPermitted", text); }
inline sdbus::Error invalidArgumentsError() { return bluezError("InvalidArguments", "Invalid arguments in method call"); }
inline sdbus::Error invalidLengthError() { return bluezError("InvalidValueLength", "Invalid Value Length"); }
inline sdbus::Error doesNotExistError() { return bluezError("DoesNotExist", "Does Not Exist"); }

}  // namespace ble::bluez::fake
