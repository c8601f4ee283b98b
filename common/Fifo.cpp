// FIFO helpers: creation, whole-message writes, blocking opens and reads, a listener on poll().
#include "common/Fifo.h"

#include "common/ChannelAccess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pb {

namespace {

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

int openRetrying(const std::string& path, int flags)
{
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A FIFO that root or we made and that only root and lp can use.
std::error_code checkChannel(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode))
        return {ENODEV, std::generic_category()};
    if (whyUnfitChannel(fd, true))
        return {EPERM, std::generic_category()};
    return {};
}

std::error_code writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t count = ::write(fd, data.data(), data.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return lastError();
        }
        data.remove_prefix(static_cast<std::size_t>(count));
    }
    return {};
}

}  // namespace

std::error_code makeFifo(const std::string& path, unsigned mode)
{
    if (mkfifo(path.c_str(), static_cast<mode_t>(mode)) != 0)
        return lastError();
    if (chmod(path.c_str(), static_cast<mode_t>(mode)) != 0)
        return lastError();
    return {};
}

std::optional<std::string> whyUnfitChannelPath(const std::string& path)
{
    const int fd = openRetrying(path, O_PATH | O_NOFOLLOW);
    if (fd < 0)
        return lastError().message();
    struct stat status {};
    std::optional<std::string> why;
    if (fstat(fd, &status) == 0 && S_ISLNK(status.st_mode))
        why = "it is a symbolic link";
    else
        why = whyUnfitChannel(fd, true);
    ::close(fd);
    return why;
}

bool pathExists(const std::string& path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::error_code writeToFifo(const std::string& path, std::string_view data, const std::function<void()>& whenWritten)
{
    int fd = openRetrying(path, O_WRONLY | O_NOFOLLOW);
    if (fd < 0)
        return lastError();
    if (std::error_code refused = checkChannel(fd)) {
        ::close(fd);
        return refused;
    }
    std::error_code error = writeAll(fd, data);
    if (!error && whenWritten)
        whenWritten();
    ::close(fd);
    return error;
}

int openFifoForReading(const std::string& path, std::error_code& error)
{
    int fd = openRetrying(path, O_RDONLY);
    if (fd < 0)
        error = lastError();
    return fd;
}

std::error_code readToEnd(int fd, std::string& text)
{
    char chunk[FifoListener::kReadChunk];
    for (;;) {
        ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count > 0)
            text.append(chunk, static_cast<std::size_t>(count));
        else if (count == 0)
            return {};
        else if (errno != EINTR)
            return lastError();
    }
}

FifoListener::~FifoListener()
{
    closeAll();
}

void FifoListener::closeAll()
{
    if (readFd_ >= 0)
        ::close(readFd_);
    if (keepAliveFd_ >= 0)
        ::close(keepAliveFd_);
    readFd_ = keepAliveFd_ = -1;
}

std::error_code FifoListener::open(const std::string& path)
{
    closeAll();
    if (!wake_.valid())
        return {EMFILE, std::generic_category()};
    // Non-blocking, so the open does not wait for a writer and reads report "no data" instead of
    // blocking; poll() does the waiting.
    readFd_ = openRetrying(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    if (readFd_ < 0)
        return lastError();
    if (std::error_code refused = checkChannel(readFd_)) {
        closeAll();
        return refused;
    }
    // Our own writer end: without it every read between two writers would see end of file at
    // once, and the loop would spin.
    keepAliveFd_ = openRetrying(path, O_WRONLY | O_NONBLOCK);
    if (keepAliveFd_ < 0) {
        std::error_code error = lastError();
        closeAll();
        return error;
    }
    return {};
}

FifoListener::Result FifoListener::readAvailable(std::string& text, std::error_code& error,
                                                 std::optional<std::chrono::milliseconds> limit)
{
    char chunk[kReadChunk];
    const int timeout = limit ? static_cast<int>(limit->count()) : -1;
    for (;;) {
        pollfd fds[2] = {{readFd_, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        const int ready = poll(fds, 2, timeout);
        if (ready == 0)
            return Result::Quiet;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            error = lastError();
            return Result::Failed;
        }
        if (fds[1].revents != 0)
            return Result::Stopped;
        ssize_t count = ::read(readFd_, chunk, sizeof chunk);
        if (count > 0) {
            text.assign(chunk, static_cast<std::size_t>(count));
            return Result::Data;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        // End of file cannot happen while we hold a writer end; treat it as a failure rather
        // than loop on it.
        error = count == 0 ? std::error_code(EPIPE, std::generic_category()) : lastError();
        return Result::Failed;
    }
}

void FifoListener::stop()
{
    wake_.signal();
}

}  // namespace pb
