// How the Bluetooth service spells UUIDs, device addresses and their object paths.
#pragma once

#include "ble/Uuid.h"

#include <string>

namespace ble::bluez::fake {

// The 36-character lower-case form, the base UUID filled in for short ones.
std::string bluezUuidText(const Uuid& uuid);

// A stable public address ("XX:XX:XX:XX:XX:XX", upper case) made from a printer's name.
// `salt` gives another address for the same name, for the rare two names that collide.
std::string addressForName(const std::string& name, unsigned salt = 0);

// "/org/bluez/hci0/dev_XX_XX_XX_XX_XX_XX".
std::string devicePath(const std::string& address);

}  // namespace ble::bluez::fake
