// One text per writer session from a FIFO, waiting in poll() and renewing the read end.
#include "quorvel/FifoMessageReader.h"

#include "common/ChannelAccess.h"
#include "common/HugePages.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quorvel {

namespace {

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

int openReadEnd(const std::string& path)
{
    int fd;
    do {
        // Non-blocking: the open does not wait for a writer. On Linux a fresh read end reports
        // no hang-up until a writer has come and gone, so poll() waits instead of spinning.
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Grows a text that has become large the way append would, doubling, but into memory that
// has asked for huge pages before it is written.
void makeRoom(std::string& text, std::size_t more)
{
    const std::size_t needed = text.size() + more;
    if (needed <= text.capacity() || needed < pb::kHugePageWorthy)
        return;
    std::string larger;
    larger.reserve(std::max(needed, 2 * text.capacity()));
    pb::adviseHugePages(larger.data(), larger.capacity());
    larger.append(text);
    text.swap(larger);
}

}  // namespace

FifoMessageReader::~FifoMessageReader()
{
    if (readFd_ >= 0)
        ::close(readFd_);
}

std::error_code FifoMessageReader::open(const std::string& path)
{
    if (!wake_.valid())
        return {EMFILE, std::generic_category()};
    path_ = path;
    if (readFd_ >= 0)
        ::close(readFd_);
    readFd_ = -1;
    return renew();
}

std::error_code FifoMessageReader::renew()
{
    int fd = openReadEnd(path_);
    if (fd < 0)
        return lastError();
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) {
        ::close(fd);
        return {ENODEV, std::generic_category()};
    }
    // Only a channel that root and lp alone can write is read: the agent runs jobs from it.
    if (pb::whyUnfitChannel(fd, true)) {
        ::close(fd);
        return {EPERM, std::generic_category()};
    }
    // A larger pipe lets a writer hand over a job in far fewer turns; the default stays when
    // the system refuses.
    (void)fcntl(fd, F_SETPIPE_SZ, kPipeSize);
    // The new end is open before the old one closes: the pipe never lacks a reader, so bytes
    // a writer put in meanwhile stay in it for the new end.
    if (readFd_ >= 0)
        ::close(readFd_);
    readFd_ = fd;
    return {};
}

bool FifoMessageReader::takeExpected(std::string& text)
{
    const std::uint64_t expected = expected_.load();
    if (expected == 0 || text.size() < expected)
        return false;
    carried_.assign(text, expected, std::string::npos);
    text.resize(expected);
    expected_ = 0;
    return true;
}

FifoMessageReader::Result FifoMessageReader::next(std::string& text, std::error_code& error)
{
    text = std::move(carried_);
    carried_.clear();
    dropped_ = 0;
    char chunk[kReadChunk];
    for (;;) {
        if (takeExpected(text))
            return Result::Message;
        pollfd fds[2] = {{readFd_, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        const bool partial = !text.empty() || dropped_ > 0;
        const int timeout = partial ? static_cast<int>(kPartialTextCheck.count()) : -1;
        if (poll(fds, 2, timeout) < 0) {
            if (errno == EINTR)
                continue;
            error = lastError();
            return Result::Failed;
        }
        if (fds[1].revents != 0)
            return Result::Stopped;
        if (fds[0].revents == 0 && !partial)
            continue;
        // Take all there is before waiting again: a job's text runs to megabytes.
        ssize_t count;
        while ((count = ::read(readFd_, chunk, sizeof chunk)) > 0) {
            const auto length = static_cast<std::size_t>(count);
            if (dropped_ == 0 && text.size() + length <= maxText_) {
                makeRoom(text, length);
                text.append(chunk, length);
                continue;
            }
            // Over the limit: the rest of this text is only counted, and its memory freed.
            if (dropped_ == 0) {
                dropped_ = text.size();
                std::string().swap(text);
            }
            dropped_ += length;
        }
        if (count < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;  // the loop's head takes an expected text that is all in
            error = lastError();
            return Result::Failed;
        }
        // End of file: every writer has gone. Renew the read end so the next poll() waits.
        if (std::error_code renewError = renew()) {
            error = renewError;
            return Result::Failed;
        }
        if (dropped_ > 0)
            return Result::Oversized;
        if (!text.empty()) {
            // Its writers have gone: the text ends here, or at its length if more came.
            takeExpected(text);
            expected_ = 0;
            return Result::Message;
        }
    }
}

void FifoMessageReader::stop()
{
    wake_.signal();
}

}  // namespace quorvel
