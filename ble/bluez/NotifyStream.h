// Reads the notifications of one characteristic from the socket AcquireNotify hands out:
// each packet read is one notification; the socket's end means notifications are off.
#pragma once

#include "ble/BleTypes.h"

#include <asio.hpp>

#include <array>
#include <functional>
#include <memory>

namespace ble::bluez {

class NotifyStream : public std::enable_shared_from_this<NotifyStream> {
public:
    using PacketHandler = std::function<void(Bytes packet)>;
    using EndHandler = std::function<void()>;

    // Takes the descriptor over. Handlers run on the main queue; `onEnd` at most once, and
    // never after close().
    static std::shared_ptr<NotifyStream> open(asio::io_context& mainQueue, int fd, PacketHandler onPacket,
                                              EndHandler onEnd);
    ~NotifyStream();
    void close();

private:
    NotifyStream(asio::io_context& mainQueue, int fd, PacketHandler onPacket, EndHandler onEnd);
    void readNext();

    asio::posix::stream_descriptor socket_;
    PacketHandler onPacket_;
    EndHandler onEnd_;
    std::array<std::uint8_t, 1024> buffer_{};
    bool closed_ = false;
};

}  // namespace ble::bluez
