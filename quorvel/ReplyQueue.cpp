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

bool ReplyQueue::isStatusReply(const std::string& message)
{
    const std::string prefix = std::string(pb::kStatusWord) + " ";
    return message.compare(0, prefix.size(), prefix) == 0;
}

bool ReplyQueue::isJobReport(const std::string& message)
{
    // Reports end with a space; the outcomes "status finished" and "status error" do not.
    return isStatusReply(message) && !message.empty() && message.back() == ' ' &&
           message != pb::notInRangeReport();
}

ReplyQueue::PushResult ReplyQueue::push(std::string message)
{
    PushResult result;
    {
        std::lock_guard lock(mutex_);
        // A report says how the job stands now: one still waiting for a reader is out of date.
        if (isJobReport(message)) {
            const auto waiting = std::find_if(messages_.begin(), messages_.end(), isJobReport);
            if (waiting != messages_.end()) {
                *waiting = std::move(message);
                return result;
            }
        }
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

std::size_t ReplyQueue::dropStatusReplies()
{
    std::lock_guard lock(mutex_);
    return std::erase_if(messages_, isStatusReply);
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
