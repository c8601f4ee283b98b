// Discovery reports to the backend ("querycallback NAME "), at most one immediate report per
// three seconds; earlier ones wait for the end of that window.
#pragma once

#include "quorvel/DiscoveryReporter.h"
#include "quorvel/Logger.h"
#include "quorvel/ReplyChannel.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace quorvel {

// Each owner (the orchestrator, the BLE manager) has its own instance; instances do not delay
// each other. Thread-safe: startBroadcasting may come from the main queue and the queue
// checker's queues at once.
class BluetoothPrinterBroadcaster : public DiscoveryReporter {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Runs the work once on the main queue, no earlier than the delay from now.
    using Scheduler = std::function<void(std::chrono::steady_clock::duration delay, std::function<void()> work)>;

    static constexpr std::chrono::milliseconds kMinInterval{3000};

    BluetoothPrinterBroadcaster(ReplyChannel& replies, Logger& logger, Scheduler scheduler,
                                Clock clock = [] { return std::chrono::steady_clock::now(); });

    // Writes the report at once when the last immediate one is at least kMinInterval old (or
    // there was none); otherwise schedules it for the end of that window. Reports scheduled
    // in one window go out together, in call order.
    void startBroadcasting(const std::string& printerName) override;
    // Logs "Stopped broadcasting"; reports already scheduled still go out.
    void stopBroadcasting() override;

private:
    ReplyChannel& replies_;
    Logger& logger_;
    Scheduler scheduler_;
    Clock clock_;
    std::mutex mutex_;
    std::optional<std::chrono::steady_clock::time_point> lastWriteTime_;
};

}  // namespace quorvel
