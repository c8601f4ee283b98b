// What the central contract suite needs of a radio under test, besides the Central itself.
#pragma once

#include "ble/Central.h"

#include <asio.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace ble::test {

// One radio implementation with one printer in range, and the levers a test pulls on it.
// The levers act the way the implementation's own test controls do (queued, main queue).
class RadioRig {
public:
    virtual ~RadioRig() = default;
    virtual std::shared_ptr<Central> central() = 0;
    virtual std::string printerName() const = 0;
    // Longest time between two advertisements of one device while scanning.
    virtual std::chrono::milliseconds advertisingInterval() const = 0;
    virtual void setPowered(bool on) = 0;
    virtual void dropLink() = 0;
    virtual void failNextConnection() = 0;
    virtual void setGrantingCredits(bool granting) = 0;
    // Every byte the printer has received on its data characteristic, in order.
    virtual std::vector<std::uint8_t> printedStream() = 0;
    // Where the printer writes page-N.png.
    virtual std::filesystem::path pageFolder() = 0;
};

struct RigSetup {
    asio::io_context& mainQueue;
    std::filesystem::path outputFolder;  // empty and private to the test
};

// One implementation under test, named for the test listing.
struct RadioKind {
    std::string name;
    std::function<std::unique_ptr<RadioRig>(const RigSetup&)> make;
    friend void PrintTo(const RadioKind& kind, std::ostream* out) { *out << kind.name; }
};

// The simulated radio with one instantly consuming printer in range.
std::unique_ptr<RadioRig> makeSimulatedRig(const RigSetup& setup);

}  // namespace ble::test
