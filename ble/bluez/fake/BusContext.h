// The bus connection of the service's current run, and what its objects need beside it.
#pragma once

#include "ble/BleTypes.h"
#include "ble/bluez/BusLoop.h"

#include <asio.hpp>
#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IObject.h>

#include <string>

namespace ble::bluez::fake {

// Lives as long as one run's connection: objects holding it are dropped before it goes.
struct BusContext {
    sdbus::IConnection& connection;
    sdbus::IObject& manager;  // the object manager at "/": InterfacesAdded and Removed come from it
    BusLoop& loop;  // woken after anything is sent outside a method call
    asio::io_context& io;
    LogFunction log;

    void wake() const { loop.wake(); }
    void say(const std::string& line) const {
        if (log) log(line);
    }
};

}  // namespace ble::bluez::fake
