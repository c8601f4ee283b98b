// The bus names, interfaces and members of BlueZ's D-Bus API that the central uses.
#pragma once

#include <chrono>

namespace ble::bluez {

inline constexpr const char* kBluezService = "org.bluez";
inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceInterface = "org.bluez.Device1";
inline constexpr const char* kGattServiceInterface = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristicInterface = "org.bluez.GattCharacteristic1";
inline constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
inline constexpr const char* kBusDriverService = "org.freedesktop.DBus";
inline constexpr const char* kBusDriverPath = "/org/freedesktop/DBus";
inline constexpr const char* kPreferredAdapterPath = "/org/bluez/hci0";

// How long a call may wait for its reply before it counts as failed.
inline constexpr std::chrono::seconds kShortCallTimeout{5};
inline constexpr std::chrono::seconds kConnectTimeout{10};
inline constexpr std::chrono::seconds kServicesResolveTimeout{20};

}  // namespace ble::bluez
