// Choosing the radio from the environment, and the unavailable radio.
#include "Recorder.h"
#include "ble/CentralFactory.h"
#include "ble/UnavailableCentral.h"
#include "ble/sim/SimulatedCentral.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

namespace ble::test {
namespace {

// Reads the radio settings from `values` and collects the log lines.
RadioConfig readFrom(const std::map<std::string, std::string>& values, std::vector<std::string>& lines) {
    return readRadioConfig(
        [&](const char* name) -> std::optional<std::string> {
            auto found = values.find(name);
            return found == values.end() ? std::nullopt : std::optional(found->second);
        },
        [&](std::string_view line) { lines.emplace_back(line); });
}

TEST(CentralFactory, PrinterNamesAreTrimmedAndEmptyEntriesSkipped) {
    EXPECT_EQ(splitPrinterNames(" P1 , ,P2-02,\t,  Q 3  ,"), (std::vector<std::string>{"P1", "P2-02", "Q 3"}));
    EXPECT_TRUE(splitPrinterNames("").empty());
    EXPECT_TRUE(splitPrinterNames(" , ,").empty());
}

TEST(CentralFactory, ReadsTheSimulatorSettingsAndKeepsDefaultsForMalformedValues) {
    std::vector<std::string> lines;
    RadioConfig config = readFrom({{"QUORVEL_BLE", "sim"}, {"QUORVEL_SIM_PRINTERS", "P1, P2"}, {"QUORVEL_SIM_OUT", " /tmp/out "},
                                   {"QUORVEL_SIM_RATE", "20000"}, {"QUORVEL_SIM_MTU", "244"},
                                   {"QUORVEL_SIM_CREDIT_LIMIT", "12"}, {"QUORVEL_SIM_DROP_AFTER", "1000"}},
                                  lines);
    EXPECT_EQ(config.kind, RadioKind::simulated);
    EXPECT_EQ(config.simPrinters, (std::vector<std::string>{"P1", "P2"}));
    EXPECT_EQ(config.simOutput, "/tmp/out");
    const sim::PrinterSettings& read = config.simPrinterSettings;
    EXPECT_EQ(std::tuple(read.bytesPerSecond, read.mtu, read.creditLimit, read.dropLinkAfterBytes),
              std::tuple(20000u, 244, 12u, 1000u));
    EXPECT_TRUE(lines.empty());

    config = readFrom({{"QUORVEL_BLE", "sim"}, {"QUORVEL_SIM_RATE", "fast"}, {"QUORVEL_SIM_MTU", "0"},
                       {"QUORVEL_SIM_CREDIT_LIMIT", "-3"}},
                      lines);
    const sim::PrinterSettings defaults;
    EXPECT_EQ(config.simPrinterSettings.bytesPerSecond, defaults.bytesPerSecond);
    EXPECT_EQ(config.simPrinterSettings.mtu, defaults.mtu);
    EXPECT_EQ(config.simPrinterSettings.creditLimit, defaults.creditLimit);
    // Three bad numbers, no printers, no output folder.
    EXPECT_EQ(lines.size(), 5u);
    EXPECT_TRUE(config.simPrinters.empty());
    EXPECT_TRUE(config.simOutput.empty());
}

TEST(CentralFactory, AnythingButSimMeansBlueZAndTheUnavailableRadioSaysSoOnce) {
    std::vector<std::string> lines;
    EXPECT_EQ(readFrom({}, lines).kind, RadioKind::bluez);
    EXPECT_EQ(readFrom({{"QUORVEL_BLE", "simulator"}}, lines).kind, RadioKind::bluez);
    EXPECT_EQ(lines.size(), 1u);

    asio::io_context io;
    lines.clear();
    auto central = makeCentral(io, RadioConfig{}, [&](std::string_view l) { lines.emplace_back(l); });
    EXPECT_EQ(lines, (std::vector<std::string>{std::string(UnavailableCentral::kLogLine)}));
    auto recorder = std::make_shared<Recorder>();
    recorder->call([&] { central->setDelegate(recorder); });
    io.run();
    ASSERT_EQ(recorder->count(Event::Kind::state), 1u);
    EXPECT_EQ(recorder->events[0].state, CentralState::unsupported);
    EXPECT_EQ(central->state(), CentralState::unsupported);
    EXPECT_EQ(recorder->inlineCallbacks, 0);
}

TEST(CentralFactory, SimBuildsTheSimulatedRadioWithTheNamedPrinters) {
    RadioConfig config;
    config.kind = RadioKind::simulated;
    config.simPrinters = {"P1", "P2"};
    asio::io_context io;
    auto central = std::dynamic_pointer_cast<sim::SimulatedCentral>(makeCentral(io, config, {}));
    ASSERT_NE(central, nullptr);
    ASSERT_EQ(central->devices().size(), 2u);
    EXPECT_EQ(central->devices()[1]->name(), "P2");
    io.run();
    EXPECT_EQ(central->state(), CentralState::poweredOn);
}

}  // namespace
}  // namespace ble::test
