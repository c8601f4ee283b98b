// A group of work with a completion notice on the main queue.
#include "common/WorkGroup.h"

namespace pb {

void WorkGroup::enter()
{
    std::lock_guard lock(mutex_);
    ++count_;
}

void WorkGroup::leave()
{
    std::lock_guard lock(mutex_);
    if (count_ == 0)
        return;
    if (--count_ == 0)
        postNoticesLocked();
}

void WorkGroup::notify(std::function<void()> notice)
{
    std::lock_guard lock(mutex_);
    notices_.push_back(std::move(notice));
    if (count_ == 0)
        postNoticesLocked();
}

void WorkGroup::postNoticesLocked()
{
    for (auto& notice : notices_)
        queue_.post(std::move(notice));
    notices_.clear();
}

}  // namespace pb
