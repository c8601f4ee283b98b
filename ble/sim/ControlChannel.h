// The simulated radio's control FIFO: a thread of its own waits for lines from tests that
// drive the agent as a process, and hands each complete line on.
#pragma once

#include "common/Fifo.h"

#include <cstddef>
#include <functional>
#include <string>
#include <thread>

namespace ble::sim {

// Makes a FIFO at `path` (mode 0600; a FIFO already there is reused, anything else is
// refused) and reads it on a thread of its own that waits in poll(), never spins. Writers may
// come and go; a read may bring several lines or part of one.
//
// Both handlers run on the channel's thread, one call at a time, in stream order; they must
// not block (post the work elsewhere). `onLine` gets each "\n"-terminated line without its
// "\n". `onProblem` gets a line of text for each trouble: a line longer than kMaxLineLength
// (dropped whole), a failed read (the channel then stops), or a channel that could not be
// set up (reported from the constructor, on the calling thread).
class ControlChannel {
public:
    using LineHandler = std::function<void(std::string line)>;
    using ProblemHandler = std::function<void(std::string problem)>;

    static constexpr std::size_t kMaxLineLength = 1024;
    static constexpr unsigned kFifoMode = 0600;

    ControlChannel(std::string path, LineHandler onLine, ProblemHandler onProblem);
    // Wakes the thread and joins it: no handler runs once this returns.
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // False when the FIFO could not be made or opened: nothing is read.
    bool listening() const { return reader_.joinable(); }

private:
    bool open();
    void readLoop();
    void take(std::string_view bytes);

    const std::string path_;
    LineHandler onLine_;
    ProblemHandler onProblem_;
    pb::FifoListener listener_;
    std::string partial_;      // the start of a line whose "\n" has not come yet
    bool skipping_ = false;   // inside a line too long to keep, until its "\n"
    std::thread reader_;
};

}  // namespace ble::sim
