// The log files of the backend and the agent: made once, appendable by everyone.
#include "common/LogFile.h"

#include "common/Fifo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pb {

namespace {

constexpr mode_t kLogFileMode = 0666;

}  // namespace

bool ensureLogFile(const std::string& path)
{
    if (pathExists(path))
        return true;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kLogFileMode);
    if (fd >= 0) {
        ::close(fd);
        // The mode given to open() is cut by the umask.
        ::chmod(path.c_str(), kLogFileMode);
    }
    return false;
}

}  // namespace pb
