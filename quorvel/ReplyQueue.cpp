// The agent's waiting replies: in order, with a bound on discovery reports.
#include "quorvel/ReplyQueue.h"

#include "common/Channel.h"

#include <algorithm>

namespace quorvel {

bool ReplyQueue::isDiscoveryReport(const std::string& message)
{
    const std::string prefix = std::string(pb::kQueryCallbackWord) + " ";
    return message.compare(0, prefix.size(), prefix) == 0;
}

ReplyQueue::PushResult ReplyQueue::push(std::string message)
{
    PushResult result;
    {
        std::lock_guard lock(mutex_);
        if (isDiscoveryReport(message)) {
            if (discoveryReports_ >= kMaxWaitingDiscoveryReports) {
                auto oldest = std::find_if(messages_.begin(), messages_.end(), isDiscoveryReport);
                result.dropped = std::move(*oldest);
                messages_.erase(oldest);
                --discoveryReports_;
            }
            ++discoveryReports_;
        }
        messages_.push_back(std::move(message));
    }
    changed_.notify_one();
    return result;
}

std::optional<std::string> ReplyQueue::pop()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || !messages_.empty(); });
    if (messages_.empty())
        return std::nullopt;
    std::string message = std::move(messages_.front());
    messages_.pop_front();
    if (isDiscoveryReport(message))
        --discoveryReports_;
    return message;
}

void ReplyQueue::close()
{
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

std::size_t ReplyQueue::size() const
{
    std::lock_guard lock(mutex_);
    return messages_.size();
}

}  // namespace quorvel
