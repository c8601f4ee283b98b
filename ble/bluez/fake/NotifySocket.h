// The socket pair behind AcquireNotify: the client gets one end, each notification is one
// packet on the other, and the client closing its end ends the notifications.
#pragma once

#include "ble/BleTypes.h"

#include <asio.hpp>
#include <sdbus-c++/Types.h>

#include <functional>
#include <memory>
#include <string>

namespace ble::bluez::fake {

class NotifySocket : public std::enable_shared_from_this<NotifySocket> {
public:
    // Null with `problem` set when no pair could be made. `onClosed` runs on `io`, once, after
    // the client's end was closed (not when this side closes).
    static std::shared_ptr<NotifySocket> open(asio::io_context& io, std::function<void()> onClosed,
                                              std::string& problem);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The client's end, for the reply; this side keeps no copy of it afterwards.
    sdbus::UnixFd takeClientEnd();
    // False when the packet could not go (client gone, or its queue full): it is lost, as a
    // notification the client does not read in time.
    bool send(const Bytes& packet);

private:
    NotifySocket(asio::io_context& io, int own, int client, std::function<void()> onClosed);
    void watch();

    asio::posix::stream_descriptor own_;
    int client_;
    std::function<void()> onClosed_;
};

}  // namespace ble::bluez::fake
