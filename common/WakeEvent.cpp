#include "common/WakeEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace pb {

WakeEvent::WakeEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeEvent::~WakeEvent()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void WakeEvent::signal()
{
    if (fd_ < 0)
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(fd_, &one, sizeof one);
}

}  // namespace pb
