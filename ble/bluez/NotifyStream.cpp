#include "ble/bluez/NotifyStream.h"

namespace ble::bluez {

std::shared_ptr<NotifyStream> NotifyStream::open(asio::io_context& mainQueue, int fd, PacketHandler onPacket,
                                                 EndHandler onEnd) {
    auto stream = std::shared_ptr<NotifyStream>(new NotifyStream(mainQueue, fd, std::move(onPacket), std::move(onEnd)));
    stream->readNext();
    return stream;
}

NotifyStream::NotifyStream(asio::io_context& mainQueue, int fd, PacketHandler onPacket, EndHandler onEnd)
    : socket_(mainQueue, fd), onPacket_(std::move(onPacket)), onEnd_(std::move(onEnd)) {}

NotifyStream::~NotifyStream() { close(); }

void NotifyStream::close() {
    closed_ = true;
    std::error_code ignored;
    socket_.close(ignored);
}

void NotifyStream::readNext() {
    socket_.async_read_some(asio::buffer(buffer_), [weak = weak_from_this()](const std::error_code& error,
                                                                             std::size_t length) {
        auto self = weak.lock();
        if (!self || self->closed_) return;
        if (error || length == 0) {
            self->close();
            if (self->onEnd_) self->onEnd_();
            return;
        }
        self->onPacket_(Bytes(self->buffer_.begin(), self->buffer_.begin() + static_cast<std::ptrdiff_t>(length)));
        if (!self->closed_) self->readNext();
    });
}

}  // namespace ble::bluez
