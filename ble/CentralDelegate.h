// Callbacks a central delivers to its user.
#pragma once

#include "ble/BleTypes.h"

#include <memory>
#include <optional>

namespace ble {

class Central;
class Peripheral;

// Every callback runs on the main queue (the io_context given to the central), posted there
// by the radio: never on the stack of the call that caused it, and one at a time, in the
// order the radio produced them. An empty error means no error was reported. The default
// implementations do nothing.
class CentralDelegate {
public:
    virtual ~CentralDelegate() = default;

    // The radio changed state (and once when a delegate is set on a central whose state is
    // known). `state` is the state this report is about; central.state() may have moved on.
    virtual void didUpdateState(Central& central, CentralState state) { (void)central, (void)state; }
    // One advertisement; a peripheral that keeps advertising is reported again each time,
    // always as the same object.
    virtual void didDiscoverPeripheral(Central& central, const std::shared_ptr<Peripheral>& peripheral,
                                       int rssi) {
        (void)central, (void)peripheral, (void)rssi;
    }
    virtual void didConnect(Central& central, const std::shared_ptr<Peripheral>& peripheral) {
        (void)central, (void)peripheral;
    }
    virtual void didFailToConnect(Central& central, const std::shared_ptr<Peripheral>& peripheral,
                                  const std::optional<BleError>& error) {
        (void)central, (void)peripheral, (void)error;
    }
    // A connection ended: cancelled (no error), lost, or the radio powered off.
    virtual void didDisconnect(Central& central, const std::shared_ptr<Peripheral>& peripheral,
                               const std::optional<BleError>& error) {
        (void)central, (void)peripheral, (void)error;
    }
};

}  // namespace ble
