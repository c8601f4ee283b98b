// Small value types shared by every Bluetooth central implementation and its users.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ble {

using Bytes = std::vector<std::uint8_t>;

// The central's radio state; the numbers are the ones the agent's log and tests speak of.
enum class CentralState : int {
    unknown = 0,
    resetting = 1,
    unsupported = 2,
    unauthorized = 3,
    poweredOff = 4,
    poweredOn = 5,
};

enum class PeripheralState : int {
    disconnected = 0,
    connecting = 1,
    connected = 2,
    disconnecting = 3,
};

enum class WriteType : int {
    withResponse = 0,
    withoutResponse = 1,
};

enum class CharacteristicProperty : std::uint8_t {
    read = 0x02,
    writeWithoutResponse = 0x04,
    write = 0x08,
    notify = 0x10,
};

// A set of CharacteristicProperty bits, as a characteristic declares them.
class CharacteristicProperties {
public:
    constexpr CharacteristicProperties() = default;
    constexpr explicit CharacteristicProperties(std::uint8_t bits) : bits_(bits) {}
    constexpr CharacteristicProperties(std::initializer_list<CharacteristicProperty> properties) {
        for (CharacteristicProperty property : properties) bits_ |= static_cast<std::uint8_t>(property);
    }

    constexpr bool has(CharacteristicProperty property) const {
        return (bits_ & static_cast<std::uint8_t>(property)) != 0;
    }
    constexpr std::uint8_t bits() const { return bits_; }
    constexpr bool operator==(const CharacteristicProperties&) const = default;

private:
    std::uint8_t bits_ = 0;
};

// A failure reported by the radio with a callback. Callbacks pass std::optional<BleError>:
// empty means the operation succeeded.
struct BleError {
    std::string description;
    bool operator==(const BleError&) const = default;
};

// Where the radio layer writes its own log lines (the agent passes its logger). An empty
// function discards them. Called on the main queue unless a header says otherwise.
using LogFunction = std::function<void(std::string_view line)>;

std::string_view centralStateText(CentralState state);

}  // namespace ble
