// Texts of the shared Bluetooth value types.
#include "ble/BleTypes.h"

namespace ble {

std::string_view centralStateText(CentralState state) {
    switch (state) {
        case CentralState::unknown: return "unknown";
        case CentralState::resetting: return "resetting";
        case CentralState::unsupported: return "unsupported";
        case CentralState::unauthorized: return "unauthorized";
        case CentralState::poweredOff: return "powered off";
        case CentralState::poweredOn: return "powered on";
    }
    return "invalid";
}

}  // namespace ble
