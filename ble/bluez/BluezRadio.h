// The BlueZ central behind the radio factory; this header keeps sdbus-c++ out of its users.
#pragma once

#include "ble/Central.h"

#include <asio.hpp>

#include <memory>

namespace ble::bluez {

// Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS, else the default socket) and builds
// the central on it. Null, after a log line that says why, when no bus can be reached; a
// bus without bluetoothd gives a central in state unknown that waits for it.
std::shared_ptr<Central> openBluezCentral(asio::io_context& mainQueue, const LogFunction& log);

}  // namespace ble::bluez
