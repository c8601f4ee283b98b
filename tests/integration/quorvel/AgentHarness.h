// Runs the built agent, backend and filter as processes in a temporary root, with the
// simulated radio and small stateful fakes of the CUPS tools that record their calls.
#pragma once

#include "support/TempRoot.h"
#include "support/TestFiles.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace agenttest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using pbtest::readFile;
using pbtest::waitUntil;
using pbtest::writeFile;

// The temporary root with the fake CUPS (tests/support/TempRoot.h, FakeCups.h).
using pbtest::TempRoot;

// One child process, run with `argv` (argv[0] as the program should see it; empty `program`:
// argv[0]) and `environment` added to this process's own. Standard output goes to
// `outputPath`, standard error there too unless `errorPath` is given. Killed at destruction.
class Process {
public:
    Process(std::vector<std::string> argv, std::vector<std::string> environment, const std::string& outputPath,
            const std::string& inputPath = "/dev/null", std::string program = {}, const std::string& errorPath = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    std::optional<int> waitExit(Clock::duration limit);  // empty: still running at the limit
    long cpuTicks() const;                               // user plus system time so far
    long residentKb() const;                             // VmRSS; throws once the process is gone
    void signal(int number) const;                       // nothing once it has been reaped

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// The agent on the simulated radio with `printers`; `extra` adds NAME=value settings.
// Constructed once it listens on its channel. Another Agent in the same root after this one
// was destroyed (killed) is a restart: the log goes on, and the ...SinceStart calls only look
// at what this one wrote.
class Agent {
public:
    Agent(const TempRoot& root, const std::string& printers, std::vector<std::string> extra = {});
    bool logHas(const std::string& text) const {
        return readFile(root_.path("/var/log/cups/pellbluetooth_backend.log")).find(text) != std::string::npos;
    }
    bool waitForLog(const std::string& text, Clock::duration limit = 10s) const;
    bool logHasSinceStart(const std::string& text) const;
    bool waitForLogSinceStart(const std::string& text, Clock::duration limit = 10s) const;
    Process& process() { return process_; }

private:
    const TempRoot& root_;
    std::size_t logStart_;
    Process process_;
};

// An agent connected to `printer`, whose queue exists, and `job`: `pages` filtered for it.
struct ConnectedAgent {
    explicit ConnectedAgent(const std::string& printer, std::vector<std::string> simulator = {}, int pages = 1);
    TempRoot root;
    Agent agent;
    std::string job;
};

// A command stream for `printer` from `pages` generated pages through vellumar.
std::string filteredJob(const TempRoot& root, const std::string& printer, int pages);

struct BackendRun {
    std::optional<int> status;
    std::string output;
    Clock::duration elapsed;
};
// Runs the backend for one job of `jobFile`'s bytes, as CUPS would, and waits up to `limit`.
BackendRun runBackend(const TempRoot& root, const std::string& printer, const std::string& jobFile,
                      Clock::duration limit = 40s);

// The contents of page-1.png, page-2.png ... of `folder`, up to the first one missing.
std::vector<std::string> pageImages(const std::string& folder);

}  // namespace agenttest
