// The fake Bluetooth service: owns org.bluez on the bus DBUS_SYSTEM_BUS_ADDRESS names, serves
// the adapter and its printers there, and takes test commands from the control FIFO.
#pragma once

#include "ble/BleTypes.h"
#include "ble/bluez/BusLoop.h"
#include "ble/bluez/fake/BusContext.h"
#include "ble/bluez/fake/FakeAdapter.h"
#include "ble/bluez/fake/FakeBluezOptions.h"
#include "ble/sim/ControlChannel.h"
#include "ble/sim/ControlCommand.h"

#include <asio.hpp>
#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IObject.h>

#include <functional>
#include <memory>
#include <string>

namespace ble::bluez::fake {

class FakeBluez {
public:
    // Everything runs on `io`'s thread. `onServing` runs each time org.bluez is owned.
    FakeBluez(asio::io_context& io, FakeBluezOptions options, LogFunction log, std::function<void()> onServing);
    ~FakeBluez();
    FakeBluez(const FakeBluez&) = delete;
    FakeBluez& operator=(const FakeBluez&) = delete;

    // Connects, exports and takes the name. Throws sdbus::Error when the bus cannot be reached
    // or the name has an owner already (it is never taken over).
    void start();
    void stop();

private:
    void serve();
    void withdraw();
    void restart();
    void watchClients();
    void applyControlLine(const std::string& line);
    void applyToPrinter(const sim::ControlCommand& command);
    void log(const std::string& line) const;

    asio::io_context& io_;
    const FakeBluezOptions options_;
    LogFunction log_;
    std::function<void()> onServing_;
    FakeAdapter adapter_;
    asio::steady_timer restartTimer_;
    bool restarting_ = false;
    std::uint64_t controlComplaints_ = 0;
    // One run of the service: the loop owns the connection, the rest goes before it.
    std::shared_ptr<BusLoop> loop_;
    std::unique_ptr<sdbus::IObject> root_;
    std::unique_ptr<BusContext> context_;
    sdbus::Slot clientWatch_;
    // Last member: its thread stops before anything it posts work for goes.
    std::unique_ptr<sim::ControlChannel> control_;
};

}  // namespace ble::bluez::fake
