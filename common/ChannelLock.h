// The lock that gives one process at a time the FIFO channel: its file, made safely, and an
// exclusive hold on it.
#pragma once

#include <functional>
#include <string>
#include <system_error>

namespace pb {

// Creates the lock file at `path` when nothing is there, with mode kChannelMode set on the new
// descriptor. A link at the path is never followed and an existing file is left as it is (it
// may belong to another user). Returns the error, if any; EEXIST never counts as one.
std::error_code makeChannelLockFile(const std::string& path);

// An exclusive flock(2) on the lock file, held from construction until destruction or the end
// of the process (the kernel drops it when the process dies, however it dies). The descriptor
// is close-on-exec, so a child never keeps the lock after its parent is gone.
class ChannelLock {
public:
    // Makes the file when it is missing, then locks it. When another holder has it,
    // `whileWaiting` (if any) runs once on the calling thread and the constructor then blocks
    // until the lock is free. On failure nothing is held: see error().
    explicit ChannelLock(const std::string& path, const std::function<void()>& whileWaiting = {});
    ~ChannelLock();
    ChannelLock(const ChannelLock&) = delete;
    ChannelLock& operator=(const ChannelLock&) = delete;

    bool held() const { return fd_ >= 0; }
    // Why the lock is not held: the file cannot be made or opened, or is not a regular file
    // (ENODEV).
    std::error_code error() const { return error_; }

private:
    int fd_ = -1;
    std::error_code error_;
};

}  // namespace pb
