// Runs the built backend as a process in a temporary root, with the agent's end of the FIFO
// channel scripted by the test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace harness {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `condition` until it holds or `limit` passes; returns whether it held.
bool waitUntil(const std::function<bool()>& condition, Clock::duration limit);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);

// A temporary root with var/run, tmp, var/log/cups and the agent's reply channel. Removed with
// everything in it at destruction.
class TempRoot {
public:
    explicit TempRoot(bool withRunFolder = true);
    ~TempRoot();
    std::string path(const std::string& absolute) const { return root_ + absolute; }
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

class Backend {
public:
    // Starts the backend with `argv` (argv[0] as CUPS gives it), the job bytes `input` on
    // standard input, and standard output and error captured in files under the root.
    Backend(const TempRoot& root, std::vector<std::string> argv, const std::string& input = {});
    // Kills the process if it still runs.
    ~Backend();

    // The exit status once it ended within `limit`; nullopt if it still runs.
    std::optional<int> waitExit(Clock::duration limit);
    std::string output() const;
    std::string errors() const;
    std::string log() const;
    pid_t pid() const { return pid_; }

private:
    const TempRoot& root_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// The agent's end. Every call waits at most `limit`.
class ScriptedAgent {
public:
    explicit ScriptedAgent(const TempRoot& root) : root_(root) {}
    // One writer's text on the command channel (to its end of file); nullopt on time-out.
    std::optional<std::string> readCommand(Clock::duration limit = 10s);
    std::optional<std::string> readPrintData(Clock::duration limit = 10s);
    // Writes `text` on the reply channel once the backend reads it; false on time-out.
    bool reply(const std::string& text, Clock::duration limit = 10s);

private:
    std::optional<std::string> readOneWriter(const std::string& path, Clock::duration limit);
    const TempRoot& root_;
};

}  // namespace harness
