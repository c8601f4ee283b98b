// The main queue on asio: posting, delayed and cancellable work, run and stop.
#include "common/MainQueue.h"

namespace pb {

void DelayedWork::cancel()
{
    if (!state_)
        return;
    state_->cancelled = true;
    // The timer belongs to the main thread; cancel it there so its wait ends early.
    auto state = state_;
    asio::post(*context_, [state] { state->timer->cancel(); });
}

bool DelayedWork::cancelled() const
{
    return state_ && state_->cancelled;
}

MainQueue::MainQueue() : keepRunning_(asio::make_work_guard(context_)), mainThread_(std::this_thread::get_id())
{
}

void MainQueue::post(std::function<void()> work)
{
    asio::post(context_, std::move(work));
}

DelayedWork MainQueue::postDelayed(std::chrono::steady_clock::duration delay, std::function<void()> work)
{
    DelayedWork handle;
    handle.state_ = std::make_shared<DelayedWork::State>();
    handle.state_->timer = std::make_unique<asio::steady_timer>(context_);
    handle.context_ = &context_;
    auto state = handle.state_;
    const auto deadline = std::chrono::steady_clock::now() + delay;
    // The delay counts from now, but the timer is armed on the main thread: a steady_timer must
    // not be touched from two threads.
    asio::post(context_, [state, deadline, work = std::move(work)]() mutable {
        state->timer->expires_at(deadline);
        state->timer->async_wait([state, work = std::move(work)](const asio::error_code& error) {
            if (!error && !state->cancelled)
                work();
        });
    });
    return handle;
}

MainQueue& MainQueue::shared()
{
    static MainQueue* instance = new MainQueue();
    return *instance;
}

int MainQueue::run()
{
    context_.run();
    return status_;
}

void MainQueue::stop(int status)
{
    status_ = status;
    context_.stop();
}

}  // namespace pb
