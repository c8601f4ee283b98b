// What the fake Bluetooth service serves: the printers and their settings from the same
// environment as the simulated radio, and its own timings from the command line.
#pragma once

#include "ble/BleTypes.h"
#include "ble/CentralFactory.h"

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ble::bluez::fake {

// ATT MTU of a link when QUORVEL_SIM_MAX_WRITE does not say: a common LE data length.
inline constexpr std::uint16_t kDefaultAttMtu = 247;
inline constexpr std::uint16_t kAttHeaderLength = 3;

struct FakeBluezOptions {
    RadioConfig radio;                    // printers, output and control folders, printer settings
    std::uint16_t attMtu = kDefaultAttMtu;  // maxWriteLength + 3
    std::chrono::milliseconds connectDelay{30};
    std::chrono::milliseconds connectTimeout{3000};  // a printer out of range
    std::chrono::milliseconds advertisingInterval{100};
    std::chrono::milliseconds lateNameDelay{150};
    std::chrono::milliseconds restartPause{500};
    std::set<std::string> lateNames;  // printers whose Name comes after their object
    bool lateNamesForAll = false;
};

// Parses the command line (argv after the program name) over the environment's settings.
// Empty with `problem` set on a bad argument; `help` set when --help was asked.
std::optional<FakeBluezOptions> readFakeBluezOptions(const std::vector<std::string>& arguments,
                                                     const EnvironmentLookup& environment, const LogFunction& log,
                                                     std::string& problem, bool& help);

std::string fakeBluezUsage();

}  // namespace ble::bluez::fake
