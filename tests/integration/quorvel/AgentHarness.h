// Runs the built agent, backend and filter as processes in a temporary root, with the
// simulated radio and small lpstat/lpadmin fakes that record their calls.
#pragma once

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

bool waitUntil(const std::function<bool()>& condition, Clock::duration limit);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);

// ROOT with var/run, tmp, var/log/cups, var/spool/cups, Users, the lpstat fake (prints
// ROOT/lpstat.out) and the lpadmin and cupsenable fakes (append their arguments to
// ROOT/lpadmin.calls and ROOT/cupsenable.calls).
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    std::string path(const std::string& absolute) const { return root_ + absolute; }
    const std::string& root() const { return root_; }
    // Queues that `lpstat -v` lists, as "pellbluetooth://NAME" device lines.
    void setQueues(const std::vector<std::string>& printerNames) const;
    std::string lpadminCalls() const { return readFile(path("/lpadmin.calls")); }
    std::string cupsenableCalls() const { return readFile(path("/cupsenable.calls")); }
    std::string printerFolder(const std::string& name) const { return path("/out/") + name; }

private:
    std::string root_;
};

// One child process; standard output goes to `outputPath`, standard error there too unless
// `errorPath` is given. Killed at destruction.
class Process {
public:
    // `program` is run with `argv` (argv[0] as the program should see it; empty `program`: argv[0]).
    Process(std::vector<std::string> argv, std::vector<std::string> environment, const std::string& outputPath,
            const std::string& inputPath = "/dev/null", std::string program = {}, const std::string& errorPath = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    std::optional<int> waitExit(Clock::duration limit);
    pid_t pid() const { return pid_; }
    // User plus system CPU time so far, in clock ticks.
    long cpuTicks() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// The built programs.
std::string agentPath();
std::string backendPath();
std::string filterPath();
std::string rasterWriterPath();
std::string renderPath();

// The agent on the simulated radio with `printers`; `extra` adds NAME=value settings.
class Agent {
public:
    Agent(const TempRoot& root, const std::string& printers, std::vector<std::string> extra = {});
    std::string log() const { return readFile(root_.path("/var/log/cups/pellbluetooth_backend.log")); }
    bool logHas(const std::string& text) const { return log().find(text) != std::string::npos; }
    bool waitForLog(const std::string& text, Clock::duration limit = 10s) const;
    Process& process() { return process_; }

private:
    const TempRoot& root_;
    Process process_;
};

// A command stream for `printer` from `pages` generated pages through vellumar.
std::string filteredJob(const TempRoot& root, const std::string& printer, int pages, int height = 240);

struct BackendRun {
    std::optional<int> status;
    std::string output;
    Clock::duration elapsed;
};
// Runs the backend for one job of `jobFile`'s bytes, as CUPS would, and waits up to `limit`.
BackendRun runBackend(const TempRoot& root, const std::string& printer, const std::string& jobFile,
                      Clock::duration limit = 40s, std::vector<std::string> extraEnvironment = {});

// The page-N.png files of `folder`, in page order.
std::vector<std::filesystem::path> pages(const std::string& folder);

}  // namespace agenttest
