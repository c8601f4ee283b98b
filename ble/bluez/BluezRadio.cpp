#include "ble/bluez/BluezRadio.h"

#include "ble/bluez/BluezCentral.h"

#include <system_error>

namespace ble::bluez {

std::shared_ptr<Central> openBluezCentral(asio::io_context& mainQueue, const LogFunction& log) {
    try {
        return BluezCentral::create(mainQueue, sdbus::createSystemBusConnection(), log);
    } catch (const sdbus::Error& e) {
        if (log) log("BlueZ: cannot reach the system bus: " + BusError{e.getName(), e.getMessage()}.text());
        return nullptr;
    } catch (const std::system_error& e) {
        if (log) log(std::string("BlueZ: cannot watch the system bus: ") + e.what());
        return nullptr;
    }
}

}  // namespace ble::bluez
