// BlueZ on the fake Bluetooth service as a contract-suite rig: a private bus per test, the
// levers are the fake's control lines.
#include "CentralTest.h"
#include "ble/bluez/BluezRadio.h"
#include "ble/sim/PrinterOutput.h"
#include "ble/sim/VirtualPrinter.h"
#include "support/PrivateBus.h"

#include <cstdlib>

namespace ble::test {

RadioRig makeBluezRig(asio::io_context& mainQueue, const std::filesystem::path& outputFolder) {
    return makeBluezRig(mainQueue, outputFolder, {});
}

RadioRig makeBluezRig(asio::io_context& mainQueue, const std::filesystem::path& outputFolder,
                      const std::vector<std::string>& settings) {
    const std::string printer = "P1 Rig";
    const std::chrono::milliseconds interval{50};
    std::vector<std::string> environment{"QUORVEL_SIM_PRINTERS=" + printer, "QUORVEL_SIM_OUT=" + outputFolder.string()};
    environment.insert(environment.end(), settings.begin(), settings.end());
    auto bus = std::make_shared<pbtest::PrivateBus>(
        PB_FAKE_BLUEZ_PATH, environment,
        std::vector<std::string>{"--advertising-interval", std::to_string(interval.count()), "--restart-pause", "300"});
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->address().c_str(), 1);
    auto central = bluez::openBluezCentral(mainQueue, {});
    if (!central) throw std::runtime_error("no central on the private bus");
    // Each lever holds the bus, so that it lives as long as the rig; a line has taken effect
    // when control() returns.
    auto order = [bus](const std::string& line) { bus->control(line); };
    const auto pages = outputFolder / sim::folderNameForPrinter(printer);
    return {.central = central, .printerName = printer, .advertisingInterval = interval * 4,
            .setPowered = [order](bool on) { order(on ? "power on" : "power off"); },
            .dropLink = [order, printer] { order("drop " + printer); },
            .failNextConnection = [order, printer] { order("fail " + printer); },
            .setGrantingCredits = [order, printer](bool granting) {
                order(std::string(granting ? "credits resume " : "credits stop ") + printer);
            },
            .restartService = [order] { order("restart"); },
            .printedStream = [pages] { return fileBytes(pages / sim::kStreamFileName); },
            .pageFolder = pages};
}

}  // namespace ble::test
