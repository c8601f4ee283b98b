// BlueZ on the fake Bluetooth service as a contract-suite rig: a private bus per test, the
// levers are the fake's control lines.
#include "CentralTest.h"
#include "ble/bluez/BluezRadio.h"
#include "ble/sim/PrinterOutput.h"
#include "ble/sim/VirtualPrinter.h"
#include "support/PrivateBus.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace ble::test {

namespace {

// The fake reads its control FIFO on a thread of its own, so a line could otherwise take
// effect after the central's next call: the lever returns once the fake has read the line,
// and a moment later, when it has been applied.
void sendControlLine(const std::string& fifo, const std::string& line) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open the fake's control FIFO " + fifo);
    const std::string text = line + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int unread = 0;
    for (int i = 0; i < 2000 && ::ioctl(fd, FIONREAD, &unread) == 0 && unread > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::close(fd);
    if (!written) throw std::runtime_error("cannot write to the fake's control FIFO");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

RadioRig makeBluezRig(asio::io_context& mainQueue, const std::filesystem::path& outputFolder) {
    return makeBluezRig(mainQueue, outputFolder, {});
}

RadioRig makeBluezRig(asio::io_context& mainQueue, const std::filesystem::path& outputFolder,
                      const std::vector<std::string>& settings) {
    const std::string printer = "P1 Rig";
    const std::chrono::milliseconds interval{50};
    const std::string control = (outputFolder / "control").string();
    std::vector<std::string> environment{"QUORVEL_SIM_PRINTERS=" + printer, "QUORVEL_SIM_OUT=" + outputFolder.string(),
                                         "QUORVEL_SIM_CONTROL=" + control};
    environment.insert(environment.end(), settings.begin(), settings.end());
    auto bus = std::make_shared<pbtest::PrivateBus>(
        PB_FAKE_BLUEZ_PATH, environment,
        std::vector<std::string>{"--advertising-interval", std::to_string(interval.count()), "--restart-pause", "300"});
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->address().c_str(), 1);
    auto central = bluez::openBluezCentral(mainQueue, {});
    if (!central) throw std::runtime_error("no central on the private bus");
    // Each lever holds the bus, so that it lives as long as the rig.
    auto order = [bus, control](const std::string& line) { sendControlLine(control, line); };
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
