// The queue checker's real clock: steady time and sleeps that its owner can cut short.
#include "quorvel/CheckerClock.h"

namespace quorvel {

void SteadyCheckerClock::sleepFor(Duration duration)
{
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, duration, [this] { return interrupted_; });
}

void SteadyCheckerClock::interruptSleeps()
{
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
    }
    wake_.notify_all();
}

}  // namespace quorvel
