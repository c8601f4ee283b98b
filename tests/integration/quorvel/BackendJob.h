// One backend run for a job, started and left running, as CUPS would start it.
#pragma once

#include "AgentHarness.h"

#include <optional>
#include <string>

namespace agenttest {

// The backend for `jobFile`'s bytes to `printer`, job number `jobId`; its standard output and
// error go to ROOT/backend-ID.out. Killed at destruction if still running.
class BackendJob {
public:
    BackendJob(const TempRoot& root, const std::string& printer, const std::string& jobFile, int jobId);

    std::optional<int> waitExit(Clock::duration limit);
    bool running() { return !waitExit(0s); }
    void signal(int number) const { process_.signal(number); }
    std::string output() const { return readFile(outputPath_); }
    bool said(const std::string& text) const { return output().find(text) != std::string::npos; }
    // From the start to the exit (or to now, while it runs).
    Clock::duration elapsed() const { return (end_ ? *end_ : Clock::now()) - start_; }

private:
    std::string outputPath_;
    Clock::time_point start_;
    std::optional<Clock::time_point> end_;
    Process process_;
};

}  // namespace agenttest
