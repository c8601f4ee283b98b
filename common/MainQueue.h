// The main queue: one asio::io_context run by the main thread for the life of the process,
// with delayed, cancellable work items.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace pb {

// A handle on a delayed work item. cancel() may be called from any thread; an item that has
// already started running is not undone. An empty handle cancels nothing.
class DelayedWork {
public:
    DelayedWork() = default;
    void cancel();
    bool cancelled() const;

private:
    friend class MainQueue;
    struct State {
        std::atomic<bool> cancelled{false};
        std::unique_ptr<asio::steady_timer> timer;
    };
    std::shared_ptr<State> state_;
    asio::io_context* context_ = nullptr;
};

class MainQueue {
public:
    // Captures the calling thread as the main thread: construct it in main().
    MainQueue();
    MainQueue(const MainQueue&) = delete;

    // The program's main queue, made on first use, so the first call must come from the main
    // thread (main() calls it first). Never destroyed.
    static MainQueue& shared();
    MainQueue& operator=(const MainQueue&) = delete;

    // Runs `work` on the main thread, after the work posted before it. Thread-safe.
    void post(std::function<void()> work);

    // Runs `work` on the main thread once `delay` has passed, unless cancelled. Thread-safe.
    DelayedWork postDelayed(std::chrono::steady_clock::duration delay, std::function<void()> work);

    // Serves the queue on the calling thread until stop(); returns the status given to stop().
    int run();
    // Makes run() return `status` after the work item running now. Thread-safe.
    void stop(int status = 0);

    bool isMainThread() const { return std::this_thread::get_id() == mainThread_; }
    asio::io_context& context() { return context_; }

private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning_;
    std::thread::id mainThread_;
    std::atomic<int> status_{0};
};

}  // namespace pb
