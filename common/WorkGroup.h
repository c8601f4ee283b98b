// A group of work with a completion notice: enter() before each piece starts, leave() when it
// ends; the notice runs on the main queue once every piece has left.
#pragma once

#include "common/MainQueue.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace pb {

// Shared by the pieces of work it tracks (hold it by shared_ptr from each piece). Thread-safe.
class WorkGroup {
public:
    explicit WorkGroup(MainQueue& queue) : queue_(queue) {}

    void enter();
    // A leave() without a matching enter() is ignored.
    void leave();
    // Posts `notice` to the main queue when the count reaches zero, at once if it is zero now.
    // Each notice runs once.
    void notify(std::function<void()> notice);

private:
    void postNoticesLocked();

    MainQueue& queue_;
    std::mutex mutex_;
    int count_ = 0;
    std::vector<std::function<void()>> notices_;
};

}  // namespace pb
