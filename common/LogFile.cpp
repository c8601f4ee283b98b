#include "common/LogFile.h"

#include "common/ChannelAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pb {

LogFileState ensureLogFile(const std::string& path, mode_t mode)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)claimForChannel(fd, mode);
        ::close(fd);
        return LogFileState::created;
    }
    if (errno != EEXIST)
        return LogFileState::failed;
    fd = openLogForAppending(path);
    if (fd >= 0) {
        struct stat status {};
        if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
            closeUpIfOurs(fd, mode);
        ::close(fd);
    }
    return LogFileState::existed;
}

std::string describeLogFile(LogFileState state, const std::string& path)
{
    switch (state) {
    case LogFileState::existed:
        return "Log file already exists at: " + path;
    case LogFileState::created:
        return "Log file created at: " + path;
    case LogFileState::failed:
        break;
    }
    return "Log file could not be created at: " + path;
}

int openLogForAppending(const std::string& path)
{
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace pb
