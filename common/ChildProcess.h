// Child processes by argument vector, never through a shell: run and capture standard output,
// or launch without waiting (the child is still reaped, so no zombie is left).
#pragma once

#include <string>
#include <vector>

namespace pb {

struct Command {
    std::string path;                    // absolute path of the program, run as is
    std::vector<std::string> arguments;  // after argv[0], which is `path`
    // "NAME=value" entries that replace or add to the inherited environment.
    std::vector<std::string> environment;
};

struct CommandResult {
    bool started = false;  // false: the program could not be run; `error` says why
    int exitStatus = -1;   // the exit status, or 128 + signal number when a signal ended it
    std::string output;    // all of standard output, read to its end
    std::string error;     // why it could not be started or waited for; empty otherwise
};

// The interface the programs' classes take, so tests substitute a fake.
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    // Runs `command` with standard input from /dev/null, standard output captured and standard
    // error discarded, and waits for it to end.
    virtual CommandResult run(const Command& command) = 0;
    // Starts `command` with standard output and error discarded and returns at once. The child
    // is reaped by a thread of its own. Returns false (and sets `error`) when it cannot start.
    virtual bool launch(const Command& command, std::string& error) = 0;
};

class PosixProcessRunner : public ProcessRunner {
public:
    CommandResult run(const Command& command) override;
    bool launch(const Command& command, std::string& error) override;
};

}  // namespace pb
