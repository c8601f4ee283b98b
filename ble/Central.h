// The Bluetooth LE central role the agent is written against: radio state, scanning and
// connections. Implementations: ble/bluez/ (BlueZ over D-Bus), ble/sim/ (simulated radio) and the
// unavailable radio.
#pragma once

#include "ble/BleTypes.h"
#include "ble/CentralDelegate.h"
#include "ble/Peripheral.h"

#include <asio.hpp>

#include <atomic>
#include <memory>
#include <mutex>

namespace ble {

// Contract common to every implementation:
// - A central is created through std::make_shared (makeCentral) and posts every callback to
//   the io_context given at construction, the main queue; never inline on the caller's stack.
// - Every operation may be called from any thread; its work is queued and takes effect on
//   the main queue in call order.
// - The delegate is held weakly; set it before the main queue runs to see the first state
//   report. Setting a delegate while the state is known also reports that state once.
// - Scans report every advertisement of every device, repeats included, without a service
//   filter (on BlueZ: each time BlueZ reports the device, which it does for a change of
//   signal strength or advertising data rather than for each packet). After stopScan()
//   returns, no discovery callback is delivered.
// - When the radio powers off, each connected or connecting peripheral gets didDisconnect
//   (with an error) before the didUpdateState that reports poweredOff.
// - Destroying the central drops callbacks not yet delivered; it must happen on the main
//   queue's thread or while that io_context is not running.
class Central : public std::enable_shared_from_this<Central> {
public:
    virtual ~Central() = default;
    Central(const Central&) = delete;
    Central& operator=(const Central&) = delete;

    CentralState state() const { return state_.load(); }

    void setDelegate(std::weak_ptr<CentralDelegate> delegate);
    std::shared_ptr<CentralDelegate> delegate() const;

    // Starts (or keeps) a scan; ignored unless powered on.
    virtual void scanForPeripherals() = 0;
    virtual void stopScan() = 0;
    virtual bool isScanning() const = 0;
    // Connects: didConnect or didFailToConnect follows. Connecting a connected peripheral
    // reports didConnect again.
    virtual void connect(const std::shared_ptr<Peripheral>& peripheral) = 0;
    // Ends a connection or a connection attempt: didDisconnect follows; nothing happens for a
    // peripheral that is neither connected nor connecting.
    virtual void cancelConnection(const std::shared_ptr<Peripheral>& peripheral) = 0;

protected:
    Central(asio::io_context& mainQueue, CentralState initialState)
        : mainQueue_(mainQueue), state_(initialState) {}

    asio::io_context& mainQueue() const { return mainQueue_; }
    // Main queue only: sets the state now and posts didUpdateState for it.
    void reportState(CentralState state);

private:
    asio::io_context& mainQueue_;
    mutable std::mutex mutex_;
    std::weak_ptr<CentralDelegate> delegate_;
    std::atomic<CentralState> state_;
};

}  // namespace ble
