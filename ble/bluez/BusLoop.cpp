#include "ble/bluez/BusLoop.h"

#include <sdbus-c++/Error.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <limits>
#include <system_error>

namespace ble::bluez {

namespace {

// The bus reports its time-out as an absolute CLOCK_MONOTONIC time, which is also what
// std::chrono::steady_clock reads on Linux.
std::chrono::steady_clock::duration untilMonotonic(std::uint64_t absoluteMicroseconds) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto nowMicroseconds = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u +
                                 static_cast<std::uint64_t>(now.tv_nsec) / 1'000u;
    if (absoluteMicroseconds <= nowMicroseconds) return {};
    return std::chrono::microseconds(absoluteMicroseconds - nowMicroseconds);
}

}  // namespace

std::shared_ptr<BusLoop> BusLoop::create(asio::io_context& context, std::unique_ptr<sdbus::IConnection> connection) {
    return std::shared_ptr<BusLoop>(new BusLoop(context, std::move(connection)));
}

BusLoop::BusLoop(asio::io_context& context, std::unique_ptr<sdbus::IConnection> connection)
    : context_(context), connection_(std::move(connection)), descriptor_(context), timer_(context) {
    // asio owns what it waits on; the bus keeps its own descriptor.
    const int copy = ::dup(connection_->getEventLoopPollData().fd);
    if (copy < 0) throw std::system_error(errno, std::generic_category(), "dup of the D-Bus descriptor");
    descriptor_.assign(copy);
}

BusLoop::~BusLoop() {
    std::error_code ignored;
    descriptor_.close(ignored);
}

void BusLoop::start() { processAndRearm(); }

void BusLoop::wake() {
    if (stopped_ || wakePosted_) return;
    wakePosted_ = true;
    asio::post(context_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->wakePosted_ = false;
            self->processAndRearm();
        }
    });
}

void BusLoop::stop() {
    stopped_ = true;
    ++generation_;
    std::error_code ignored;
    descriptor_.cancel(ignored);
    timer_.cancel();
}

void BusLoop::processAndRearm() {
    if (stopped_) return;
    // Each call handles at most one message; drain them all before waiting again. A broken
    // connection throws: it must not escape into the io_context and end the process.
    try {
        while (connection_->processPendingRequest()) {
            if (stopped_) return;
        }
        arm();
    } catch (const sdbus::Error& e) {
        stop();
        if (onFailure_) onFailure_(e.getName() + ": " + e.getMessage());
    }
}

void BusLoop::arm() {
    const unsigned generation = ++generation_;
    std::error_code ignored;
    descriptor_.cancel(ignored);
    timer_.cancel();

    const auto poll = connection_->getEventLoopPollData();
    auto onReady = [weak = weak_from_this(), generation](const std::error_code& error) {
        auto self = weak.lock();
        if (!self || error == asio::error::operation_aborted || generation != self->generation_) return;
        self->processAndRearm();
    };
    if (poll.events & POLLIN) descriptor_.async_wait(asio::posix::stream_descriptor::wait_read, onReady);
    if (poll.events & POLLOUT) descriptor_.async_wait(asio::posix::stream_descriptor::wait_write, onReady);
    if (poll.timeout_usec != std::numeric_limits<std::uint64_t>::max()) {
        timer_.expires_after(untilMonotonic(poll.timeout_usec));
        timer_.async_wait(onReady);
    }
}

}  // namespace ble::bluez
