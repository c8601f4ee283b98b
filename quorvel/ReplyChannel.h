// What the BLE manager asks of the agent's FIFO endpoint: replies to the backend and the end
// of the print-data reader.
#pragma once

#include <string>

namespace quorvel {

// Implemented by the agent's BidirectionalFIFO. Both calls return at once and may come from
// any thread (the main queue, the print-data reader's thread, the print queue); the manager
// never makes them while it holds its lock.
class ReplyChannel {
public:
    virtual ~ReplyChannel() = default;
    // Queues `message` for the reply channel ("status finished", "status error", ...).
    virtual void writeMessage(const std::string& message) = 0;
    // Lets the print-data reader end after the read in progress.
    virtual void stopReading() = 0;
    // Drops the "status" replies still waiting for a reader: they were for a backend that
    // has gone.
    virtual void dropStatusReplies() = 0;
};

}  // namespace quorvel
