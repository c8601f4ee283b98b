// A labelled serial queue on a thread of its own, and detached threads for blocking work.
#include "common/SerialQueue.h"

#include <pthread.h>

namespace pb {

namespace {
constexpr std::size_t kThreadNameLength = 15;  // Linux limit, without the terminating zero
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), keepRunning_(asio::make_work_guard(context_)),
      thread_([this] { context_.run(); })
{
    // The last characters of a label tell queues apart ("...bluetooth.fifo").
    std::string name = label_.size() > kThreadNameLength ? label_.substr(label_.size() - kThreadNameLength) : label_;
    pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue()
{
    keepRunning_.reset();
    context_.stop();
    if (thread_.joinable())
        thread_.join();
}

void SerialQueue::post(std::function<void()> work)
{
    asio::post(context_, std::move(work));
}

void runOnOwnThread(std::function<void()> work)
{
    std::thread(std::move(work)).detach();
}

}  // namespace pb
