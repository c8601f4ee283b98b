// Runs one sd-bus connection inside an asio io_context: the bus's descriptor, events and
// time-out are waited on by asio, and pending messages are handled on that context's thread.
// sdbus-c++ 1.2 has no wake-up descriptor, so the connection must be touched by that thread
// only; whoever sends a message through it calls wake() so that its output is flushed.
#pragma once

#include <asio.hpp>
#include <sdbus-c++/IConnection.h>

#include <functional>
#include <memory>
#include <string>

namespace ble::bluez {

class BusLoop : public std::enable_shared_from_this<BusLoop> {
public:
    // Takes the connection over; start() must be called (once) before anything is received.
    static std::shared_ptr<BusLoop> create(asio::io_context& context, std::unique_ptr<sdbus::IConnection> connection);
    ~BusLoop();
    BusLoop(const BusLoop&) = delete;
    BusLoop& operator=(const BusLoop&) = delete;

    sdbus::IConnection& connection() { return *connection_; }

    void start();
    // Handles whatever is pending now and waits again with the bus's current wishes; call it
    // after sending, so that a queued message leaves without waiting for the next input.
    void wake();
    // Stops waiting; pending messages stay unhandled. The connection lives until destruction.
    void stop();
    // Called (on the context's thread) when the connection fails, e.g. the bus went away; the
    // loop has stopped by then.
    void setFailureHandler(std::function<void(const std::string& why)> handler) { onFailure_ = std::move(handler); }

private:
    BusLoop(asio::io_context& context, std::unique_ptr<sdbus::IConnection> connection);
    void processAndRearm();
    void arm();

    asio::io_context& context_;
    std::unique_ptr<sdbus::IConnection> connection_;
    asio::posix::stream_descriptor descriptor_;
    asio::steady_timer timer_;
    bool stopped_ = false;
    bool wakePosted_ = false;
    unsigned generation_ = 0;  // a wait armed before the latest re-arm is stale
    std::function<void(const std::string& why)> onFailure_;
};

}  // namespace ble::bluez
