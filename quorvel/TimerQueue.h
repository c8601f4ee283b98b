// A labelled serial queue that runs repeating timers: the queue checker's two loops.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace quorvel {

// A started repeating timer. cancel() may be called from any thread, also from its own
// handler; a tick already running is not undone, no tick starts after it.
class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
    virtual void cancel() = 0;
};

class TimerQueue {
public:
    virtual ~TimerQueue() = default;
    // Runs `handler` on this queue at once and then every `interval`. Ticks that fall due while
    // a tick runs (a tick may sleep) are merged into one, run as soon as that tick ends. The
    // timer runs until cancelled; dropping the handle does not cancel it.
    virtual std::shared_ptr<RepeatingTimer> startRepeating(std::chrono::steady_clock::duration interval,
                                                           std::function<void()> handler) = 0;
};

// One thread of its own running one io_context; timers are asio steady_timers on it.
class AsioTimerQueue : public TimerQueue {
public:
    explicit AsioTimerQueue(std::string label);
    // Stops the queue and joins its thread: a tick that sleeps must be woken first.
    ~AsioTimerQueue() override;
    AsioTimerQueue(const AsioTimerQueue&) = delete;
    AsioTimerQueue& operator=(const AsioTimerQueue&) = delete;

    std::shared_ptr<RepeatingTimer> startRepeating(std::chrono::steady_clock::duration interval,
                                                   std::function<void()> handler) override;
    const std::string& label() const { return label_; }

private:
    std::string label_;
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning_;
    std::thread thread_;
};

}  // namespace quorvel
