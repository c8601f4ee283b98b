// Chooses the Bluetooth radio the agent uses, from the process environment.
#pragma once

#include "ble/BleTypes.h"
#include "ble/Central.h"
#include "ble/sim/VirtualPrinter.h"

#include <asio.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ble {

// The environment variables read, here and nowhere else.
inline constexpr const char* kRadioVariable = "QUORVEL_BLE";                // "sim": the simulated radio
inline constexpr const char* kSimPrintersVariable = "QUORVEL_SIM_PRINTERS";  // comma-separated names
inline constexpr const char* kSimOutputVariable = "QUORVEL_SIM_OUT";        // folder printed into
inline constexpr const char* kSimRateVariable = "QUORVEL_SIM_RATE";          // bytes per second, or "instant"
inline constexpr const char* kSimMtuVariable = "QUORVEL_SIM_MTU";            // chunk length reported
inline constexpr const char* kSimCreditLimitVariable = "QUORVEL_SIM_CREDIT_LIMIT";  // stop granting after N
inline constexpr const char* kSimDropAfterVariable = "QUORVEL_SIM_DROP_AFTER";      // drop the link after N bytes
inline constexpr const char* kSimCreditsVariable = "QUORVEL_SIM_CREDITS";  // buffer in chunks: first grant, 1-65535
inline constexpr const char* kSimMaxWriteVariable = "QUORVEL_SIM_MAX_WRITE";  // longest write the link carries, 1-512
inline constexpr const char* kSimEarlyCreditsVariable = "QUORVEL_SIM_EARLY_CREDITS";  // 1: credits before subscribing
inline constexpr const char* kSimControlVariable = "QUORVEL_SIM_CONTROL";  // path of the control FIFO

enum class RadioKind { bluez, simulated };

struct RadioConfig {
    RadioKind kind = RadioKind::bluez;
    std::vector<std::string> simPrinters;  // trimmed, never empty strings
    std::filesystem::path simOutput;       // empty: the virtual printers keep nothing
    std::filesystem::path simControl;      // empty: no control FIFO
    sim::PrinterSettings simPrinterSettings;
};

// Looks up one environment variable; empty when it is unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// Reads the radio choice. Malformed values are logged and replaced by defaults.
RadioConfig readRadioConfig(const EnvironmentLookup& environment, const LogFunction& log);

// Reads the QUORVEL_SIM_* variables into `config` (printers, output, control FIFO, printer
// settings), whichever radio serves them. Malformed values are logged and left at their defaults.
void readSimulatorSettings(const EnvironmentLookup& environment, const LogFunction& log, RadioConfig& config);

// This process's environment.
std::optional<std::string> processEnvironment(const char* name);

// Splits a comma-separated list, trims blanks around each name and skips empty ones.
std::vector<std::string> splitPrinterNames(std::string_view list);

// Builds the chosen central. Callbacks go to `mainQueue`; `log` receives the radio's own
// lines (on the main queue, and once on the calling thread from here).
std::shared_ptr<Central> makeCentral(asio::io_context& mainQueue, const RadioConfig& config, LogFunction log);
// The same with the configuration read from this process's environment.
std::shared_ptr<Central> makeCentral(asio::io_context& mainQueue, LogFunction log);

}  // namespace ble
