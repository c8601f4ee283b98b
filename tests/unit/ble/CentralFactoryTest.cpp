// Choosing the radio from the environment, and the unavailable radio.
#include "Recorder.h"
#include "ble/CentralFactory.h"
#include "ble/UnavailableCentral.h"
#include "ble/sim/SimulatedCentral.h"

#include <gtest/gtest.h>

#include <map>

namespace ble::test {
namespace {

struct FakeEnvironment {
    std::map<std::string, std::string> values;
    EnvironmentLookup lookup() const {
        return [this](const char* name) -> std::optional<std::string> {
            auto found = values.find(name);
            if (found == values.end()) return std::nullopt;
            return found->second;
        };
    }
};

TEST(CentralFactory, PrinterNamesAreTrimmedAndEmptyEntriesSkipped) {
    EXPECT_EQ(splitPrinterNames(" P1 , ,P2-02,\t,  Q 3  ,"), (std::vector<std::string>{"P1", "P2-02", "Q 3"}));
    EXPECT_TRUE(splitPrinterNames("").empty());
    EXPECT_TRUE(splitPrinterNames(" , ,").empty());
}

TEST(CentralFactory, ReadsTheSimulatorSettings) {
    FakeEnvironment env{{{"QUORVEL_BLE", "sim"},
                         {"QUORVEL_SIM_PRINTERS", "P1, P2"},
                         {"QUORVEL_SIM_OUT", " /tmp/out "},
                         {"QUORVEL_SIM_RATE", "20000"},
                         {"QUORVEL_SIM_MTU", "244"},
                         {"QUORVEL_SIM_CREDIT_LIMIT", "12"},
                         {"QUORVEL_SIM_DROP_AFTER", "1000"}}};
    std::vector<std::string> lines;
    const RadioConfig config = readRadioConfig(env.lookup(), [&](std::string_view l) { lines.emplace_back(l); });
    EXPECT_EQ(config.kind, RadioKind::simulated);
    EXPECT_EQ(config.simPrinters, (std::vector<std::string>{"P1", "P2"}));
    EXPECT_EQ(config.simOutput, "/tmp/out");
    EXPECT_EQ(config.simPrinterSettings.bytesPerSecond, 20000u);
    EXPECT_EQ(config.simPrinterSettings.mtu, 244);
    EXPECT_EQ(config.simPrinterSettings.creditLimit, 12u);
    EXPECT_EQ(config.simPrinterSettings.dropLinkAfterBytes, 1000u);
    EXPECT_TRUE(lines.empty());
}

TEST(CentralFactory, MalformedValuesAreLoggedAndDefaultsKept) {
    FakeEnvironment env{{{"QUORVEL_BLE", "sim"},
                         {"QUORVEL_SIM_RATE", "fast"},
                         {"QUORVEL_SIM_MTU", "0"},
                         {"QUORVEL_SIM_CREDIT_LIMIT", "-3"}}};
    std::vector<std::string> lines;
    const RadioConfig config = readRadioConfig(env.lookup(), [&](std::string_view l) { lines.emplace_back(l); });
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
    EXPECT_EQ(readRadioConfig(FakeEnvironment{}.lookup(), {}).kind, RadioKind::bluez);
    std::vector<std::string> lines;
    FakeEnvironment odd{{{"QUORVEL_BLE", "simulator"}}};
    EXPECT_EQ(readRadioConfig(odd.lookup(), [&](std::string_view l) { lines.emplace_back(l); }).kind, RadioKind::bluez);
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
    EXPECT_EQ(static_cast<int>(central->state()), 2);
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
