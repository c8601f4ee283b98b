// Command line and environment of the fake Bluetooth service.
#include "ble/bluez/fake/FakeBluezOptions.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace ble::bluez::fake {

namespace {

constexpr long kMaxMilliseconds = 600'000;

std::optional<std::chrono::milliseconds> parseMilliseconds(const std::string& text) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < 0 || value > kMaxMilliseconds)
        return std::nullopt;
    return std::chrono::milliseconds(value);
}

}  // namespace

std::string fakeBluezUsage() {
    return "usage: pb-fake-bluez [options]\n"
           "Serves org.bluez on the bus DBUS_SYSTEM_BUS_ADDRESS names (required: the machine's own bus is\n"
           "never used), with one virtual printer per name in QUORVEL_SIM_PRINTERS and the other\n"
           "QUORVEL_SIM_* settings of the simulated radio. Prints \"ready\" on standard output once\n"
           "org.bluez is owned; logs go to standard error.\n"
           "  --connect-delay MS       time a connection takes (default 30)\n"
           "  --connect-timeout MS     time until a connection to a printer out of range fails (3000)\n"
           "  --advertising-interval MS  time between two advertisements of a printer (100)\n"
           "  --late-name NAME         this printer's Name comes after its object (repeatable)\n"
           "  --late-names             every printer's Name comes after its object\n"
           "  --late-name-delay MS     how much later (150)\n"
           "  --restart-pause MS       time the service is away on \"restart\" (500)\n"
           "  --help                   this text\n";
}

std::optional<FakeBluezOptions> readFakeBluezOptions(const std::vector<std::string>& arguments,
                                                     const EnvironmentLookup& environment, const LogFunction& log,
                                                     std::string& problem, bool& help) {
    if (std::find(arguments.begin(), arguments.end(), "--help") != arguments.end()) {
        help = true;
        return std::nullopt;
    }
    FakeBluezOptions options;
    readSimulatorSettings(environment, log, options.radio);
    if (environment(kSimMaxWriteVariable)) {
        options.attMtu = static_cast<std::uint16_t>(options.radio.simPrinterSettings.maxWriteLength + kAttHeaderLength);
    } else {
        options.radio.simPrinterSettings.maxWriteLength = kDefaultAttMtu - kAttHeaderLength;
    }

    const std::pair<const char*, std::chrono::milliseconds FakeBluezOptions::*> durations[] = {
        {"--connect-delay", &FakeBluezOptions::connectDelay},
        {"--connect-timeout", &FakeBluezOptions::connectTimeout},
        {"--advertising-interval", &FakeBluezOptions::advertisingInterval},
        {"--late-name-delay", &FakeBluezOptions::lateNameDelay},
        {"--restart-pause", &FakeBluezOptions::restartPause},
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--late-names") {
            options.lateNamesForAll = true;
            continue;
        }
        const bool takesValue = argument == "--late-name" ||
                                std::any_of(std::begin(durations), std::end(durations),
                                            [&](const auto& d) { return argument == d.first; });
        if (!takesValue) {
            problem = "unknown argument \"" + argument + "\"";
            return std::nullopt;
        }
        if (i + 1 == arguments.size()) {
            problem = argument + " needs a value";
            return std::nullopt;
        }
        const std::string& value = arguments[++i];
        if (argument == "--late-name") {
            options.lateNames.insert(value);
            continue;
        }
        const auto milliseconds = parseMilliseconds(value);
        if (!milliseconds) {
            problem = argument + " needs milliseconds from 0 to " + std::to_string(kMaxMilliseconds);
            return std::nullopt;
        }
        for (const auto& [name, member] : durations)
            if (argument == name) options.*member = *milliseconds;
    }
    if (options.advertisingInterval.count() == 0) {
        problem = "--advertising-interval must be at least 1 ms";
        return std::nullopt;
    }
    return options;
}

}  // namespace ble::bluez::fake
