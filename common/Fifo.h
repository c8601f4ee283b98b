// FIFO helpers shared by backend and agent: make a channel, write a whole message, open and
// read (to end of file, or what is available) without spinning.
#pragma once

#include "common/WakeEvent.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace pb {

// Why the FIFO at `path` may not serve as a channel (a link, not a FIFO, another user's, open
// to others: see ChannelAccess.h), or nothing when it may. Follows no link.
std::optional<std::string> whyUnfitChannelPath(const std::string& path);

// Creates a FIFO at `path` and sets its mode to `mode` exactly (mkfifo alone is cut by the
// umask). An existing path is an error (EEXIST); the caller decides what to do with it.
std::error_code makeFifo(const std::string& path, unsigned mode);

// True when anything (file, FIFO, dangling link...) exists at `path`.
bool pathExists(const std::string& path);

// Opens `path` for writing, waiting until a reader has it open, writes all of `data` and
// closes it. The path is never created: a missing path is ENOENT, a link is not followed
// (ELOOP), a path that is not a FIFO is refused (ENODEV) rather than written over, and so is a
// FIFO another user owns or that others than root and lp may open (EPERM). Blocks for as long as no reader comes, so
// call it on a thread of its own. SIGPIPE must be ignored by the process (EPIPE is returned).
// `whenWritten`, if given, runs once every byte is written and before the close, that is before
// the reader can see end of file.
std::error_code writeToFifo(const std::string& path, std::string_view data,
                            const std::function<void()>& whenWritten = {});

// Opens `path` for reading, waiting until a writer has it open. Returns the descriptor (close
// it with ::close) or -1 with `error` set.
int openFifoForReading(const std::string& path, std::error_code& error);

// Reads `fd` to end of file (no writer left) into `text`, appending. On a read error returns
// it; what was read before stays in `text`.
std::error_code readToEnd(int fd, std::string& text);

// A reader of a FIFO that waits for data without spinning and without ever seeing end of file:
// it holds a writer end of its own, so writers may come and go. Reads wait in poll() and can
// be woken by stop() from another thread. One thread reads; stop() may come from any thread.
class FifoListener {
public:
    FifoListener() = default;
    ~FifoListener();
    FifoListener(const FifoListener&) = delete;
    FifoListener& operator=(const FifoListener&) = delete;

    // Opens `path`, which must be a FIFO; does not wait for a writer.
    std::error_code open(const std::string& path);

    enum class Result { Data, Stopped, Failed, Quiet };
    // Waits until bytes arrive (sets `text` to them, at most kReadChunk), stop() is called, or
    // `limit` passes with nothing (Quiet); no limit waits as long as it takes.
    Result readAvailable(std::string& text, std::error_code& error,
                         std::optional<std::chrono::milliseconds> limit = std::nullopt);

    void stop();

    static constexpr std::size_t kReadChunk = 65536;

private:
    void closeAll();

    int readFd_ = -1;
    int keepAliveFd_ = -1;
    WakeEvent wake_;
};

}  // namespace pb
