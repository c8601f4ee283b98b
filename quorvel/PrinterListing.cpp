#include "quorvel/PrinterListing.h"

#include "quorvel/Whitelist.h"

#include <algorithm>

namespace quorvel {

PrinterListing::PrinterListing(asio::io_context& mainQueue, std::FILE* output, std::function<void()> done)
    : output_(output), done_(std::move(done)), timer_(mainQueue) {}

void PrinterListing::start(const std::shared_ptr<ble::Central>& central, std::chrono::steady_clock::duration scanTime) {
    central_ = central;
    central_->setDelegate(weak_from_this());
    timer_.expires_after(scanTime);
    timer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        if (auto self = weak.lock(); self && !error) self->finish();
    });
}

void PrinterListing::didUpdateState(ble::Central& central, ble::CentralState state) {
    if (state == ble::CentralState::poweredOn && !central.isScanning()) central.scanForPeripherals();
}

void PrinterListing::didDiscoverPeripheral(ble::Central&, const std::shared_ptr<ble::Peripheral>& peripheral, int) {
    const auto name = peripheral->name();
    if (!name || whitelistPrefixOf(*name).empty()) return;
    if (std::find(found_.begin(), found_.end(), peripheral) == found_.end()) found_.push_back(peripheral);
}

void PrinterListing::finish() {
    central_->stopScan();
    if (central_->state() != ble::CentralState::poweredOn)
        std::fprintf(stderr, "Bluetooth is not powered on (state %d); no printer can be found.\n",
                     static_cast<int>(central_->state()));
    for (const auto& peripheral : found_)
        std::fprintf(output_, "%s %s\n", peripheral->name().value_or("").c_str(),
                     peripheral->address().value_or("-").c_str());
    std::fflush(output_);
    if (done_) done_();
}

}  // namespace quorvel
