// A SOCK_SEQPACKET pair: packet boundaries survive, and a hang-up is seen as a read of nothing.
#include "ble/bluez/fake/NotifySocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace ble::bluez::fake {

std::shared_ptr<NotifySocket> NotifySocket::open(asio::io_context& io, std::function<void()> onClosed,
                                                 std::string& problem) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        problem = std::string("socketpair: ") + std::strerror(errno);
        return nullptr;
    }
    auto socket = std::shared_ptr<NotifySocket>(new NotifySocket(io, pair[0], pair[1], std::move(onClosed)));
    socket->watch();
    return socket;
}

NotifySocket::NotifySocket(asio::io_context& io, int own, int client, std::function<void()> onClosed)
    : own_(io, own), client_(client), onClosed_(std::move(onClosed)) {}

NotifySocket::~NotifySocket() {
    if (client_ >= 0) ::close(client_);
    std::error_code ignored;
    own_.close(ignored);
}

sdbus::UnixFd NotifySocket::takeClientEnd() {
    const int fd = client_;
    client_ = -1;
    return sdbus::UnixFd(fd, sdbus::adopt_fd);
}

bool NotifySocket::send(const Bytes& packet) {
    if (!own_.is_open()) return false;
    return ::send(own_.native_handle(), packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
           static_cast<ssize_t>(packet.size());
}

// Whatever the client writes is read and dropped; end of file or an error is the hang-up.
void NotifySocket::watch() {
    own_.async_wait(asio::posix::stream_descriptor::wait_read, [weak = weak_from_this()](const std::error_code& error) {
        auto self = weak.lock();
        if (!self || error) return;
        std::array<std::uint8_t, 512> discard{};
        const ssize_t got = ::recv(self->own_.native_handle(), discard.data(), discard.size(), MSG_DONTWAIT);
        if (got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR))) return self->watch();
        std::error_code ignored;
        self->own_.close(ignored);
        auto onClosed = std::move(self->onClosed_);
        self.reset();
        if (onClosed) onClosed();
    });
}

}  // namespace ble::bluez::fake
