#include "ble/bluez/BusClient.h"

namespace ble::bluez {

BusClient::BusClient(asio::io_context& mainQueue, std::unique_ptr<sdbus::IConnection> connection, LogFunction log)
    : mainQueue_(mainQueue), log_(std::move(log)), loop_(BusLoop::create(mainQueue, std::move(connection))) {}

BusClient::~BusClient() {
    // Proxies cancel their pending calls; matches go before the connection they live on.
    loop_->stop();
    proxies_.clear();
    matches_.clear();
}

void BusClient::log(const std::string& line) const {
    if (log_) log_(line);
}

sdbus::IProxy* BusClient::proxyFor(const std::string& destination, const std::string& path) {
    auto& proxy = proxies_[{destination, path}];
    if (!proxy) proxy = sdbus::createProxy(loop_->connection(), destination, path);
    return proxy.get();
}

void BusClient::call(const std::string& destination, const std::string& path, const std::string& interface,
                     const std::string& method, const Arguments& arguments, std::chrono::milliseconds timeout,
                     ReplyHandler handler) {
    auto shared = std::make_shared<ReplyHandler>(std::move(handler));
    // Holds no pointer to this client: a failed send's handler is posted and may outlive it.
    auto guarded = [log = log_, shared, method](sdbus::MethodReply* reply, const BusError* error) {
        try {
            (*shared)(reply, error);
        } catch (const sdbus::Error& e) {
            if (log) log("BlueZ: unexpected reply to " + method + ": " + BusError{e.getName(), e.getMessage()}.text());
        }
    };
    try {
        sdbus::IProxy* proxy = proxyFor(destination, path);
        auto message = proxy->createMethodCall(interface, method);
        if (arguments) arguments(message);
        proxy->callMethod(
            message,
            [guarded](sdbus::MethodReply& reply, const sdbus::Error* error) {
                if (error != nullptr) {
                    const BusError busError{error->getName(), error->getMessage()};
                    guarded(nullptr, &busError);
                } else {
                    guarded(&reply, nullptr);
                }
            },
            timeout);
        loop_->wake();
    } catch (const sdbus::Error& e) {
        // Never inline: the caller may still be changing the state the handler reads.
        asio::post(mainQueue_, [guarded, error = BusError{e.getName(), e.getMessage()}] { guarded(nullptr, &error); });
    }
}

void BusClient::addMatch(const std::string& rule, SignalHandler handler) {
    try {
        matches_.push_back(loop_->connection().addMatch(rule, [this, handler = std::move(handler)](sdbus::Message& m) {
            try {
                handler(m);
            } catch (const sdbus::Error& e) {
                log("BlueZ: malformed " + m.getMemberName() + " signal: " + BusError{e.getName(), e.getMessage()}.text());
            }
        }));
        loop_->wake();
    } catch (const sdbus::Error& e) {
        log("BlueZ: cannot watch " + rule + ": " + BusError{e.getName(), e.getMessage()}.text());
    }
}

}  // namespace ble::bluez
