// A central without a radio.
#include "ble/UnavailableCentral.h"

namespace ble {

UnavailableCentral::UnavailableCentral(asio::io_context& mainQueue, const LogFunction& log)
    : Central(mainQueue, CentralState::unsupported) {
    if (log) log(kLogLine);
}

void UnavailableCentral::connect(const std::shared_ptr<Peripheral>& peripheral) {
    asio::post(mainQueue(), [weak = weak_from_this(), peripheral] {
        auto self = weak.lock();
        if (!self) return;
        if (auto delegate = self->delegate())
            delegate->didFailToConnect(*self, peripheral, BleError{"no Bluetooth radio is available"});
    });
}

}  // namespace ble
