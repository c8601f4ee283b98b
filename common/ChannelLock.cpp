// The channel lock: its file and the exclusive hold.
#include "common/ChannelLock.h"

#include "common/Channel.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pb {

namespace {

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

// O_NONBLOCK so that a FIFO someone put at the path cannot hold up the open; O_NOFOLLOW so a
// link there is refused (ELOOP) rather than followed to a file of the linker's choosing.
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

int openRetrying(const std::string& path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path.c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The lock file opened, made first when missing; -1 with `error` set otherwise.
int openLockFile(const std::string& path, std::error_code& error)
{
    // O_EXCL tells us whether we made the file (and so may set its mode); with O_CREAT it also
    // refuses to follow a link.
    int fd = openRetrying(path, kOpenFlags | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        // On the descriptor, not by name: the name could be swapped for a link in between.
        if ((error = claimForChannel(fd, kChannelMode))) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    if (errno != EEXIST) {
        error = lastError();
        return -1;
    }
    fd = openRetrying(path, kOpenFlags);
    if (fd < 0) {
        error = lastError();
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = std::error_code(ENODEV, std::generic_category());
        ::close(fd);
        return -1;
    }
    // One of another user's is not used.
    closeUpIfOurs(fd, kChannelMode);
    if (whyUnfitChannel(fd, false)) {
        error = std::error_code(EPERM, std::generic_category());
        ::close(fd);
        return -1;
    }
    return fd;
}

bool lockRetrying(int fd, int operation)
{
    int result;
    do {
        result = flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

}  // namespace

std::error_code makeChannelLockFile(const std::string& path)
{
    std::error_code error;
    const int fd = openLockFile(path, error);
    if (fd >= 0)
        ::close(fd);
    return error;
}

ChannelLock::ChannelLock(const std::string& path, const std::function<void()>& whileWaiting)
{
    const int fd = openLockFile(path, error_);
    if (fd < 0)
        return;
    bool locked = lockRetrying(fd, LOCK_EX | LOCK_NB);
    if (!locked && errno == EWOULDBLOCK) {
        if (whileWaiting)
            whileWaiting();
        locked = lockRetrying(fd, LOCK_EX);
    }
    if (!locked) {
        error_ = lastError();
        ::close(fd);
        return;
    }
    fd_ = fd;
}

ChannelLock::~ChannelLock()
{
    // Closing the only descriptor of the open file releases the lock.
    if (fd_ >= 0)
        ::close(fd_);
}

}  // namespace pb
