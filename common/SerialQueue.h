// A labelled serial queue: one thread of its own running one io_context, so work posted to it
// runs one item at a time, in order.
#pragma once

#include <asio.hpp>

#include <functional>
#include <string>
#include <thread>

namespace pb {

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Stops taking work and joins the thread: an item blocked for ever (in a FIFO open, say)
    // would hold the destructor, so such items must be woken first or the queue outlive them.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Runs `work` on the queue's thread after the work posted before it. Thread-safe.
    void post(std::function<void()> work);

    const std::string& label() const { return label_; }
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    std::string label_;
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning_;
    std::thread thread_;
};

// Runs `work` on a new detached thread of its own: for blocking work, such as a FIFO open that
// waits for the other end, that must neither hold up a queue nor be starved by a pool.
// `work` must own (or share) everything it touches.
void runOnOwnThread(std::function<void()> work);

}  // namespace pb
