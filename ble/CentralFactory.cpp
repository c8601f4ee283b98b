// The one place that knows every radio: picks BlueZ, the simulated or the unavailable central.
#include "ble/CentralFactory.h"

#include "ble/UnavailableCentral.h"
#include "ble/bluez/BluezRadio.h"
#include "ble/sim/SimulatedCentral.h"

#include <charconv>
#include <cstdlib>

namespace ble {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
constexpr std::uint64_t kMaxMtu = sim::kMaxAttributeLength;
constexpr std::uint64_t kMaxSimBufferChunks = 65535;
constexpr std::string_view kInstantRate = "instant";

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> parseCount(std::string_view text) {
    text = trim(text);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

void logLine(const LogFunction& log, const std::string& line) {
    if (log) log(line);
}

// Applies one numeric variable when it is set and within [minimum, maximum].
template <typename Apply>
void readCount(const EnvironmentLookup& environment, const LogFunction& log, const char* name,
               std::uint64_t minimum, std::uint64_t maximum, Apply apply) {
    const auto text = environment(name);
    if (!text) return;
    const auto value = parseCount(*text);
    if (!value || *value < minimum || *value > maximum) {
        logLine(log, std::string(name) + "=\"" + *text + "\" is not a number from " + std::to_string(minimum) +
                         " to " + std::to_string(maximum) + "; ignored");
        return;
    }
    apply(*value);
}

}  // namespace

void readSimulatorSettings(const EnvironmentLookup& environment, const LogFunction& log, RadioConfig& config) {
    if (const auto printers = environment(kSimPrintersVariable)) config.simPrinters = splitPrinterNames(*printers);
    if (config.simPrinters.empty()) logLine(log, "Simulated radio: QUORVEL_SIM_PRINTERS names no printer");
    if (const auto output = environment(kSimOutputVariable); output && !trim(*output).empty())
        config.simOutput = std::string(trim(*output));
    else
        logLine(log, "Simulated radio: QUORVEL_SIM_OUT is not set; the virtual printers keep no output");

    auto& settings = config.simPrinterSettings;
    if (const auto rate = environment(kSimRateVariable); rate && trim(*rate) == kInstantRate)
        settings.bytesPerSecond = 0;
    else
        readCount(environment, log, kSimRateVariable, 0, UINT64_MAX, [&](auto v) { settings.bytesPerSecond = v; });
    readCount(environment, log, kSimMtuVariable, 1, kMaxMtu,
              [&](auto v) { settings.mtu = static_cast<std::uint16_t>(v); });
    readCount(environment, log, kSimCreditLimitVariable, 0, UINT64_MAX, [&](auto v) { settings.creditLimit = v; });
    readCount(environment, log, kSimDropAfterVariable, 0, UINT64_MAX,
              [&](auto v) { settings.dropLinkAfterBytes = v; });
    // A roomier printer: its first grant is the whole buffer, and freed slots go out once half
    // of it is free, so that a fast printer sends few reports.
    readCount(environment, log, kSimCreditsVariable, 1, kMaxSimBufferChunks, [&](auto v) {
        settings.bufferChunks = static_cast<std::uint16_t>(v);
        settings.creditBatch = static_cast<std::uint16_t>((v + 1) / 2);
    });
    readCount(environment, log, kSimMaxWriteVariable, 1, sim::kMaxAttributeLength,
              [&](auto v) { settings.maxWriteLength = static_cast<std::uint16_t>(v); });
    readCount(environment, log, kSimEarlyCreditsVariable, 0, 1, [&](auto v) { settings.notifiesBeforeSubscribe = v == 1; });
    if (const auto control = environment(kSimControlVariable); control && !trim(*control).empty())
        config.simControl = std::string(trim(*control));
}

std::optional<std::string> processEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::vector<std::string> splitPrinterNames(std::string_view list) {
    std::vector<std::string> names;
    while (true) {
        const auto comma = list.find(',');
        const auto name = trim(list.substr(0, comma));
        if (!name.empty()) names.emplace_back(name);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return names;
}

RadioConfig readRadioConfig(const EnvironmentLookup& environment, const LogFunction& log) {
    RadioConfig config;
    const auto radio = environment(kRadioVariable);
    if (!radio || trim(*radio).empty() || trim(*radio) == "bluez") return config;
    if (trim(*radio) != "sim") {
        logLine(log, "QUORVEL_BLE=\"" + *radio + "\" is not a radio (sim or bluez); using BlueZ");
        return config;
    }
    config.kind = RadioKind::simulated;
    readSimulatorSettings(environment, log, config);
    return config;
}

std::shared_ptr<Central> makeCentral(asio::io_context& mainQueue, const RadioConfig& config, LogFunction log) {
    if (config.kind == RadioKind::bluez) {
        if (auto central = bluez::openBluezCentral(mainQueue, log)) return central;
        return std::make_shared<UnavailableCentral>(mainQueue, log);
    }
    sim::SimulatedRadioSettings settings;
    for (const std::string& name : config.simPrinters) settings.printers.push_back({name, config.simPrinterSettings});
    settings.outputFolder = config.simOutput;
    settings.controlFifo = config.simControl;
    settings.log = std::move(log);
    return sim::SimulatedCentral::create(mainQueue, std::move(settings));
}

std::shared_ptr<Central> makeCentral(asio::io_context& mainQueue, LogFunction log) {
    const RadioConfig config = readRadioConfig(processEnvironment, log);
    return makeCentral(mainQueue, config, std::move(log));
}

}  // namespace ble
