// Asynchronous calls to and signal matches on one bus connection run by a BusLoop. Main
// queue only: the connection is touched by the main queue's thread alone.
#pragma once

#include "ble/BleTypes.h"
#include "ble/bluez/BluezError.h"
#include "ble/bluez/BusLoop.h"

#include <sdbus-c++/IProxy.h>
#include <sdbus-c++/Message.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ble::bluez {

class BusClient {
public:
    using Arguments = std::function<void(sdbus::MethodCall& call)>;
    // Exactly one of the two is set. A handler that throws sdbus::Error (a reply of the wrong
    // type) is caught and logged.
    using ReplyHandler = std::function<void(sdbus::MethodReply* reply, const BusError* error)>;
    using SignalHandler = std::function<void(sdbus::Message& signal)>;

    BusClient(asio::io_context& mainQueue, std::unique_ptr<sdbus::IConnection> connection, LogFunction log);
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    void start() { loop_->start(); }
    // Called once if the connection fails (the bus went away); calls fail from then on.
    void setFailureHandler(std::function<void(const std::string& why)> handler) {
        loop_->setFailureHandler(std::move(handler));
    }

    // Sends a method call; the handler runs on the main queue when the reply, an error or the
    // time-out comes (never inline).
    void call(const std::string& destination, const std::string& path, const std::string& interface,
              const std::string& method, const Arguments& arguments, std::chrono::milliseconds timeout,
              ReplyHandler handler);
    // Keeps the match for as long as this client lives.
    void addMatch(const std::string& rule, SignalHandler handler);

private:
    sdbus::IProxy* proxyFor(const std::string& destination, const std::string& path);
    void log(const std::string& line) const;

    asio::io_context& mainQueue_;
    LogFunction log_;
    std::shared_ptr<BusLoop> loop_;
    std::map<std::pair<std::string, std::string>, std::unique_ptr<sdbus::IProxy>> proxies_;
    std::vector<sdbus::Slot> matches_;
};

}  // namespace ble::bluez
