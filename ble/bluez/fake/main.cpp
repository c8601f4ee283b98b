// pb-fake-bluez: a stand-in Bluetooth service on a private bus, serving virtual printers to a
// central under test.
#include "ble/bluez/fake/FakeBluez.h"
#include "ble/bluez/fake/FakeBluezOptions.h"

#include <asio.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* kBusVariable = "DBUS_SYSTEM_BUS_ADDRESS";

void logLine(std::string_view line) { std::cerr << line << '\n'; }

}  // namespace

int main(int argc, char** argv) {
    using namespace ble::bluez::fake;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string problem;
    bool help = false;
    auto options = readFakeBluezOptions(arguments, ble::processEnvironment, logLine, problem, help);
    if (help) {
        std::cout << fakeBluezUsage();
        return 0;
    }
    if (!options) {
        std::cerr << "pb-fake-bluez: " << problem << "\n" << fakeBluezUsage();
        return 2;
    }
    // Never the machine's own system bus: only a bus the caller names.
    const auto bus = ble::processEnvironment(kBusVariable);
    if (!bus || bus->empty()) {
        std::cerr << "pb-fake-bluez: " << kBusVariable << " must name a private bus\n";
        return 2;
    }

    asio::io_context io;
    bool announced = false;
    FakeBluez service(io, std::move(*options), logLine, [&announced] {
        if (announced) return;
        announced = true;
        std::cout << "ready" << std::endl;
    });
    asio::signal_set stopSignals(io, SIGTERM, SIGINT);
    stopSignals.async_wait([&](const std::error_code& error, int) {
        if (error) return;
        service.stop();
        io.stop();
    });
    std::signal(SIGPIPE, SIG_IGN);
    try {
        service.start();
    } catch (const sdbus::Error& error) {
        std::cerr << "pb-fake-bluez: cannot serve on " << *bus << ": " << error.getName() << ": " << error.getMessage()
                  << "\n";
        return 1;
    }
    io.run();
    return 0;
}
