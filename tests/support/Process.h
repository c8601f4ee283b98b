// A child process for tests that run the programs: started from an argument vector (never a
// shell) with its standard streams on files, waited for with a deadline, killed at destruction.
#pragma once

#include "support/TestFiles.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace pbtest {

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
    pid_t pid() const { return pid_; }
    long cpuTicks() const;                               // user plus system time so far
    long residentKb() const;                             // VmRSS; throws once the process is gone
    void signal(int number) const;                       // nothing once it has been reaped

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace pbtest
