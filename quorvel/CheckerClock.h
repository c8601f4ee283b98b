// The time source and sleeper of the queue checker's passes, replaceable in tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quorvel {

class CheckerClock {
public:
    using Duration = std::chrono::steady_clock::duration;
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~CheckerClock() = default;
    virtual TimePoint now() const = 0;
    // Blocks the calling thread (a checker queue, never the main queue) for `duration`.
    virtual void sleepFor(Duration duration) = 0;
    // Ends every sleep now and makes later ones return at once: called when the checker goes,
    // so its queues can be joined without sitting out a 200-second sleep.
    virtual void interruptSleeps() = 0;
};

class SteadyCheckerClock : public CheckerClock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    void sleepFor(Duration duration) override;
    void interruptSleeps() override;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool interrupted_ = false;
};

}  // namespace quorvel
