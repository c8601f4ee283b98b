// The filters' raster input: libcups reading a file descriptor through a large block buffer.
#include "filter/RasterInput.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace filter {

cups_raster_t* RasterInput::open()
{
    return cupsRasterOpenIO(&RasterInput::readCallback, this, CUPS_RASTER_READ);
}

ssize_t RasterInput::readCallback(void* context, unsigned char* data, std::size_t bytes)
{
    return static_cast<RasterInput*>(context)->read(data, bytes);
}

// As libcups's own descriptor input: the bytes available up to `bytes`, 0 at the end of the
// stream, -1 on an error.
ssize_t RasterInput::read(unsigned char* data, std::size_t bytes)
{
    if (position_ == end_) {
        // A request as large as a block gains nothing from a copy.
        if (bytes >= kRasterInputBlock)
            return readFd(data, bytes);
        if (!block_)
            block_.reset(new (std::nothrow) unsigned char[kRasterInputBlock]);
        if (!block_)
            return readFd(data, bytes);
        const ssize_t got = readFd(block_.get(), kRasterInputBlock);
        if (got <= 0)
            return got;
        position_ = 0;
        end_ = static_cast<std::size_t>(got);
    }
    const std::size_t count = std::min(bytes, end_ - position_);
    std::memcpy(data, block_.get() + position_, count);
    position_ += count;
    return static_cast<ssize_t>(count);
}

// A descriptor left non-blocking by whoever started us is waited on, not spun on.
ssize_t RasterInput::readFd(unsigned char* data, std::size_t bytes) const
{
    for (;;) {
        const ssize_t got = ::read(fd_, data, bytes);
        if (got >= 0)
            return got;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd readable{fd_, POLLIN, 0};
            poll(&readable, 1, -1);
        } else if (errno != EINTR) {
            return -1;
        }
    }
}

}  // namespace filter
