#include "common/ChannelAccess.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace pb {

namespace {

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

}  // namespace

gid_t channelGroup()
{
    static const gid_t lpGroup = [] {
        const struct group* lp = getgrnam("lp");
        return lp != nullptr ? lp->gr_gid : getegid();
    }();
    return lpGroup;
}

std::error_code claimForChannel(int fd, mode_t mode)
{
    // Only root may hand a file to a group it is not in; anyone else keeps their own group.
    if (geteuid() == 0 && fchown(fd, 0, channelGroup()) != 0)
        return lastError();
    if (fchmod(fd, mode) != 0)
        return lastError();
    return {};
}

std::optional<std::string> whyUnfitChannel(int fd, bool fifo, mode_t mode)
{
    struct stat status {};
    if (fstat(fd, &status) != 0)
        return "it cannot be examined: " + lastError().message();
    if (fifo ? !S_ISFIFO(status.st_mode) : !S_ISREG(status.st_mode))
        return fifo ? "it is not a FIFO" : "it is not a regular file";
    if (status.st_uid != 0 && status.st_uid != geteuid())
        return "it belongs to user " + std::to_string(status.st_uid);
    if ((status.st_mode & 07777 & ~mode) != 0) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        return std::string("its mode ") + octal + " lets others in";
    }
    return std::nullopt;
}

void closeUpIfOurs(int fd, mode_t mode)
{
    struct stat status {};
    if (fstat(fd, &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 07777 & ~mode) != 0)
        (void)claimForChannel(fd, mode);
}

std::error_code makeChannelFifo(const std::string& path)
{
    // Private until it is ours for certain: made 0600, opened without following a link, then
    // checked and opened up to the group through the descriptor.
    if (mkfifo(path.c_str(), 0600) != 0)
        return lastError();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return lastError();
    std::error_code error;
    if (whyUnfitChannel(fd, true, 0600))
        error = std::error_code(EPERM, std::generic_category());
    else
        error = claimForChannel(fd, kChannelMode);
    ::close(fd);
    return error;
}

}  // namespace pb
