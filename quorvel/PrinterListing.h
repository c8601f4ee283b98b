// `quorvel --list`: scans for a while and prints the whitelisted printers in range, one per
// line ("NAME ADDRESS", "-" when the radio knows no address).
#pragma once

#include "ble/Central.h"

#include <asio.hpp>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quorvel {

class PrinterListing : public ble::CentralDelegate, public std::enable_shared_from_this<PrinterListing> {
public:
    static constexpr std::chrono::seconds kScanTime{10};

    // Prints to `output` when the scan time is over, then calls `done`.
    PrinterListing(asio::io_context& mainQueue, std::FILE* output, std::function<void()> done);
    // Sets itself as the central's delegate; the scan starts once the radio is powered on.
    void start(const std::shared_ptr<ble::Central>& central, std::chrono::steady_clock::duration scanTime = kScanTime);

    void didUpdateState(ble::Central& central, ble::CentralState state) override;
    void didDiscoverPeripheral(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral,
                               int rssi) override;

private:
    void finish();

    std::FILE* output_;
    std::function<void()> done_;
    asio::steady_timer timer_;
    std::shared_ptr<ble::Central> central_;
    std::vector<std::shared_ptr<ble::Peripheral>> found_;
};

}  // namespace quorvel
