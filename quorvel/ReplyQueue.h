// The agent's replies waiting for a backend to read them: kept in order, outcomes always, job
// reports only the latest, discovery reports bounded. No I/O; the reply writer drains it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace quorvel {

class ReplyQueue {
public:
    // Discovery reports ("querycallback ...") come every few seconds while a scan runs, whether
    // or not a backend listens; beyond this many waiting, the oldest is dropped.
    static constexpr std::size_t kMaxWaitingDiscoveryReports = 16;

    // What push() did to make room.
    struct PushResult {
        std::optional<std::string> dropped;  // the discovery report dropped, if any
    };

    // Appends `message`. Any message that is not a discovery report is always kept. Thread-safe.
    PushResult push(std::string message);

    // Waits for the oldest message and removes it; empty once close() has been called and
    // nothing is left. Thread-safe.
    std::optional<std::string> pop();

    // Wakes pop() for good: the messages still waiting are given out, then pop() returns empty.
    void close();

    // Drops every "status" reply still waiting; returns how many. Thread-safe.
    std::size_t dropStatusReplies();

    std::size_t size() const;

    static bool isDiscoveryReport(const std::string& message);
    static bool isStatusReply(const std::string& message);
    // A report on a job in hand ("status sending ... "): a newer one replaces it while waiting.
    static bool isJobReport(const std::string& message);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> messages_;
    std::size_t discoveryReports_ = 0;
    bool closed_ = false;
};

}  // namespace quorvel
