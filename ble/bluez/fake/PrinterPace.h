// Drives a virtual printer's consumption by the clock: each buffered chunk is printed when
// its time at the printer's rate has passed, which frees buffer slots for new credits.
#pragma once

#include "ble/sim/VirtualPrinter.h"

#include <asio.hpp>

#include <chrono>
#include <cstdint>

namespace ble::bluez::fake {

class PrinterPace {
public:
    // `printer` must outlive this object.
    PrinterPace(asio::io_context& io, sim::VirtualPrinter& printer);

    // Something was buffered: print what is due now, and wait for the next chunk's time.
    void schedule();
    // The chunk being printed starts over at the new rate rather than finish at the old one.
    void setRate(std::uint64_t bytesPerSecond);

private:
    sim::VirtualPrinter& printer_;
    asio::steady_timer timer_;
    std::chrono::steady_clock::time_point printedUntil_{};
    bool waiting_ = false;
};

}  // namespace ble::bluez::fake
