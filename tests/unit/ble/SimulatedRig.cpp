// The simulated radio as a contract-suite rig: levers are the simulator's test controls.
#include "CentralTest.h"
#include "ble/sim/SimulatedCentral.h"

namespace ble::test {

RadioRig makeSimulatedRig(asio::io_context& mainQueue, const std::filesystem::path& outputFolder) {
    const std::string printer = "P1 Rig";
    const std::chrono::milliseconds interval{20};
    auto sim = sim::SimulatedCentral::create(
        mainQueue, {.printers = {{printer, {}}}, .outputFolder = outputFolder, .advertisingInterval = interval, .log = {}});
    const auto pages = outputFolder / sim::folderNameForPrinter(printer);
    return {.central = sim, .printerName = printer, .advertisingInterval = interval,
            .setPowered = [sim](bool on) { sim->setPowered(on); },
            .dropLink = [sim, printer] { sim->dropLink(printer); },
            .failNextConnection = [sim, printer] { sim->failNextConnection(printer); },
            .setGrantingCredits = [sim, printer](bool granting) { sim->setGrantingCredits(printer, granting); },
            .restartService = {},
            .printedStream = [pages] { return fileBytes(pages / sim::kStreamFileName); },
            .pageFolder = pages};
}

}  // namespace ble::test
