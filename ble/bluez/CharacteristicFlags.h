// BlueZ's characteristic Flags strings as the central's property bits.
#pragma once

#include "ble/BleTypes.h"

#include <string>
#include <vector>

namespace ble::bluez {

// "read", "write-without-response", "write" and "notify" map to their bits; every other
// flag (indicate, reliable-write, the encrypted variants...) is not used by the central.
CharacteristicProperties propertiesFromFlags(const std::vector<std::string>& flags);

}  // namespace ble::bluez
