// Repeating timers on a serial queue of their own, with an immediate first tick.
#include "quorvel/TimerQueue.h"

#include <atomic>

namespace quorvel {

namespace {

class AsioRepeatingTimer : public RepeatingTimer, public std::enable_shared_from_this<AsioRepeatingTimer> {
public:
    AsioRepeatingTimer(asio::io_context& context, std::chrono::steady_clock::duration interval,
                       std::function<void()> handler)
        : timer_(context), interval_(interval), handler_(std::move(handler))
    {
    }

    void start()
    {
        // The timer is touched only on the queue's thread.
        asio::post(timer_.get_executor(), [self = shared_from_this()] { self->tick(std::chrono::steady_clock::now()); });
    }

    void cancel() override
    {
        cancelled_ = true;
        asio::post(timer_.get_executor(), [self = shared_from_this()] { self->timer_.cancel(); });
    }

private:
    void tick(std::chrono::steady_clock::time_point due)
    {
        if (cancelled_)
            return;
        handler_();
        if (cancelled_)
            return;
        // A tick that overran its interval is followed at once by one merged tick.
        timer_.expires_at(std::max(due + interval_, std::chrono::steady_clock::now()));
        timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error)
                self->tick(self->timer_.expiry());
        });
    }

    asio::steady_timer timer_;
    const std::chrono::steady_clock::duration interval_;
    const std::function<void()> handler_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace

AsioTimerQueue::AsioTimerQueue(std::string label)
    : label_(std::move(label)), keepRunning_(asio::make_work_guard(context_)), thread_([this] { context_.run(); })
{
}

AsioTimerQueue::~AsioTimerQueue()
{
    keepRunning_.reset();
    context_.stop();
    thread_.join();
}

std::shared_ptr<RepeatingTimer> AsioTimerQueue::startRepeating(std::chrono::steady_clock::duration interval,
                                                               std::function<void()> handler)
{
    auto timer = std::make_shared<AsioRepeatingTimer>(context_, interval, std::move(handler));
    timer->start();
    return timer;
}

}  // namespace quorvel
