// Choosing the radio from the environment, and the unavailable radio.
#include "CentralTest.h"
#include "ble/CentralFactory.h"
#include "ble/UnavailableCentral.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

namespace ble::test {
namespace {

// Reads the radio settings from `values` and collects the log lines.
RadioConfig readFrom(const std::map<std::string, std::string>& values, std::vector<std::string>& lines) {
    const auto lookup = [&](const char* name) { return values.contains(name) ? std::optional(values.at(name)) : std::nullopt; };
    return readRadioConfig(lookup, [&](std::string_view line) { lines.emplace_back(line); });
}

TEST(CentralFactory, ReadsTheSimulatorSettingsAndKeepsDefaultsForMalformedValues) {
    std::vector<std::string> lines;
    RadioConfig config = readFrom({{"QUORVEL_BLE", "sim"}, {"QUORVEL_SIM_PRINTERS", " P1 , ,P2-02,\t,  Q 3  ,"},
                                   {"QUORVEL_SIM_OUT", " /tmp/out "}, {"QUORVEL_SIM_RATE", "20000"}, {"QUORVEL_SIM_MTU", "244"},
                                   {"QUORVEL_SIM_CREDIT_LIMIT", "12"}, {"QUORVEL_SIM_DROP_AFTER", "1000"},
                                   {"QUORVEL_SIM_MAX_WRITE", "100"}, {"QUORVEL_SIM_EARLY_CREDITS", "1"},
                                   {"QUORVEL_SIM_CONTROL", " /tmp/control "}}, lines);
    EXPECT_EQ(config.kind, ble::RadioKind::simulated);
    EXPECT_EQ(config.simPrinters, (std::vector<std::string>{"P1", "P2-02", "Q 3"}));
    EXPECT_EQ(config.simOutput, "/tmp/out");
    const sim::PrinterSettings& read = config.simPrinterSettings;
    EXPECT_EQ(std::tuple(read.bytesPerSecond, read.mtu, read.creditLimit, read.dropLinkAfterBytes, read.maxWriteLength,
                         read.notifiesBeforeSubscribe, config.simControl),
              std::tuple(20000u, 244, 12u, 1000u, 100, true, std::filesystem::path("/tmp/control")));
    EXPECT_TRUE(lines.empty());

    config = readFrom({{"QUORVEL_BLE", "sim"}, {"QUORVEL_SIM_PRINTERS", " , ,"}, {"QUORVEL_SIM_RATE", "fast"},
                       {"QUORVEL_SIM_MTU", "0"}, {"QUORVEL_SIM_CREDIT_LIMIT", "-3"}, {"QUORVEL_SIM_MAX_WRITE", "513"},
                       {"QUORVEL_SIM_EARLY_CREDITS", "yes"}},
                      lines);
    const auto numbers = [](const sim::PrinterSettings& s) {
        return std::tuple(s.bytesPerSecond, s.mtu, s.creditLimit, s.maxWriteLength, s.notifiesBeforeSubscribe);
    };
    EXPECT_EQ(numbers(config.simPrinterSettings), numbers(sim::PrinterSettings{}));
    // Five bad numbers, no printers, no output folder.
    EXPECT_EQ(lines.size(), 7u);
    EXPECT_TRUE(config.simPrinters.empty());
    EXPECT_TRUE(config.simOutput.empty());
}

TEST(CentralFactory, AnythingButSimMeansBlueZAndWithoutABusTheUnavailableRadioSaysWhy) {
    std::vector<std::string> lines;
    EXPECT_EQ(readFrom({}, lines).kind, ble::RadioKind::bluez);
    EXPECT_EQ(readFrom({{"QUORVEL_BLE", "simulator"}}, lines).kind, ble::RadioKind::bluez);
    EXPECT_EQ(lines.size(), 1u);

    asio::io_context io;
    lines.clear();
    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/pb-no-bus", 1);
    auto central = makeCentral(io, RadioConfig{}, [&](std::string_view l) { lines.emplace_back(l); });
    if (saved) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved->c_str(), 1);
    else ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("system bus"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], UnavailableCentral::kLogLine);
    auto recorder = std::make_shared<Recorder>();
    recorder->call([&] { central->setDelegate(recorder); });
    io.run();
    ASSERT_EQ(recorder->count(Event::Kind::state), 1u);
    EXPECT_EQ(recorder->events[0].state, CentralState::unsupported);
    EXPECT_EQ(central->state(), CentralState::unsupported);
    EXPECT_EQ(recorder->inlineCallbacks, 0);
}

}  // namespace
}  // namespace ble::test
