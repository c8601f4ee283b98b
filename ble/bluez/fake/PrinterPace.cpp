// Printing paced by absolute deadlines, so that timer latency does not slow the rate.
#include "ble/bluez/fake/PrinterPace.h"

#include <algorithm>

namespace ble::bluez::fake {

PrinterPace::PrinterPace(asio::io_context& io, sim::VirtualPrinter& printer) : printer_(printer), timer_(io) {}

void PrinterPace::schedule() {
    if (waiting_) return;
    for (auto delay = printer_.nextConsumeDelay(); delay; delay = printer_.nextConsumeDelay()) {
        if (delay->count() == 0) {
            printer_.consumeNext();
            continue;
        }
        printedUntil_ = std::max(printedUntil_, std::chrono::steady_clock::now()) +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(*delay);
        waiting_ = true;
        timer_.expires_at(printedUntil_);
        // The timer belongs to this object: a cancelled or destroyed wait ends with an error.
        timer_.async_wait([this](const std::error_code& error) {
            if (error) return;
            waiting_ = false;
            printer_.consumeNext();
            schedule();
        });
        return;
    }
}

void PrinterPace::setRate(std::uint64_t bytesPerSecond) {
    printer_.setRate(bytesPerSecond);
    timer_.cancel();
    waiting_ = false;
    printedUntil_ = std::chrono::steady_clock::now();
    schedule();
}

}  // namespace ble::bluez::fake
