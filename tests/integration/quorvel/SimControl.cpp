// Writes orders to the simulated radio's control FIFO.
#include "SimControl.h"

#include <fcntl.h>
#include <unistd.h>

namespace agenttest {

bool SimControl::send(const std::string& line) const {
    int fd = -1;
    // A non-blocking open for writing fails until the radio has its end open.
    if (!waitUntil([&] { return (fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }, kWriteLimit))
        return false;
    const std::string text = line + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

}  // namespace agenttest
