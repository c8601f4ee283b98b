#include "ble/bluez/CharacteristicFlags.h"

namespace ble::bluez {

CharacteristicProperties propertiesFromFlags(const std::vector<std::string>& flags) {
    std::uint8_t bits = 0;
    for (const std::string& flag : flags) {
        if (flag == "read") bits |= static_cast<std::uint8_t>(CharacteristicProperty::read);
        else if (flag == "write-without-response")
            bits |= static_cast<std::uint8_t>(CharacteristicProperty::writeWithoutResponse);
        else if (flag == "write") bits |= static_cast<std::uint8_t>(CharacteristicProperty::write);
        else if (flag == "notify") bits |= static_cast<std::uint8_t>(CharacteristicProperty::notify);
    }
    return CharacteristicProperties(bits);
}

}  // namespace ble::bluez
