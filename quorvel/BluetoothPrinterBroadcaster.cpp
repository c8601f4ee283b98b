// Discovery reports to the backend, spaced three seconds apart.
#include "quorvel/BluetoothPrinterBroadcaster.h"

#include "common/Channel.h"

namespace quorvel {

BluetoothPrinterBroadcaster::BluetoothPrinterBroadcaster(ReplyChannel& replies, Logger& logger, Scheduler scheduler,
                                                         Clock clock)
    : replies_(replies), logger_(logger), scheduler_(std::move(scheduler)), clock_(std::move(clock))
{
}

void BluetoothPrinterBroadcaster::startBroadcasting(const std::string& printerName)
{
    const std::string message = pb::queryCallbackMessage(printerName);
    std::optional<std::chrono::steady_clock::duration> wait;
    {
        std::lock_guard lock(mutex_);
        const auto now = clock_();
        if (lastWriteTime_ && now - *lastWriteTime_ < kMinInterval)
            // The window's end stays put (lastWriteTime does not move), so every early report of
            // one window is due at the same moment and goes out in call order.
            wait = kMinInterval - (now - *lastWriteTime_);
        else
            lastWriteTime_ = now;
    }
    if (wait) {
        ReplyChannel& replies = replies_;
        scheduler_(*wait, [&replies, message] { replies.writeMessage(message); });
        return;
    }
    replies_.writeMessage(message);
}

void BluetoothPrinterBroadcaster::stopBroadcasting()
{
    logger_.log("Stopped broadcasting");
}

}  // namespace quorvel
