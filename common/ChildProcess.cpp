// Child processes through posix_spawn with an argument vector; output captured through a pipe.
#include "common/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace pb {

namespace {

constexpr std::size_t kReadChunk = 65536;
constexpr int kSignalledBase = 128;

// argv and envp for one spawn; the strings stay owned by the vectors.
struct SpawnVectors {
    std::vector<std::string> environmentStrings;
    std::vector<char*> argv;
    std::vector<char*> envp;
};

SpawnVectors makeVectors(const Command& command)
{
    SpawnVectors vectors;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view inherited(*entry);
        bool replaced = false;
        for (const auto& override : command.environment) {
            auto name = override.substr(0, override.find('=') + 1);
            if (inherited.substr(0, name.size()) == name)
                replaced = true;
        }
        if (!replaced)
            vectors.environmentStrings.emplace_back(inherited);
    }
    for (const auto& override : command.environment)
        vectors.environmentStrings.push_back(override);
    vectors.argv.push_back(const_cast<char*>(command.path.c_str()));
    for (const auto& argument : command.arguments)
        vectors.argv.push_back(const_cast<char*>(argument.c_str()));
    vectors.argv.push_back(nullptr);
    for (auto& entry : vectors.environmentStrings)
        vectors.envp.push_back(entry.data());
    vectors.envp.push_back(nullptr);
    return vectors;
}

int decodeStatus(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return kSignalledBase + WTERMSIG(waitStatus);
    return -1;
}

int waitForChild(pid_t pid)
{
    int waitStatus = 0;
    while (waitpid(pid, &waitStatus, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return decodeStatus(waitStatus);
}

// Spawns with stdin from /dev/null, stdout to `outputFd` (or /dev/null when negative) and
// stderr to /dev/null. Returns the pid, or -1 with `error` set.
pid_t spawn(const Command& command, int outputFd, std::string& error)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outputFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    SpawnVectors vectors = makeVectors(command);
    pid_t pid = -1;
    int result = posix_spawn(&pid, command.path.c_str(), &actions, nullptr, vectors.argv.data(),
                             vectors.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        error = std::strerror(result);
        return -1;
    }
    return pid;
}

}  // namespace

CommandResult PosixProcessRunner::run(const Command& command)
{
    CommandResult result;
    int pipeFds[2];
    // Close-on-exec, so children spawned by other threads meanwhile do not hold the pipe open.
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.error = std::strerror(errno);
        return result;
    }
    pid_t pid = spawn(command, pipeFds[1], result.error);
    close(pipeFds[1]);
    if (pid < 0) {
        close(pipeFds[0]);
        return result;
    }
    result.started = true;
    char chunk[kReadChunk];
    for (;;) {
        ssize_t count = read(pipeFds[0], chunk, sizeof chunk);
        if (count > 0)
            result.output.append(chunk, static_cast<std::size_t>(count));
        else if (count == 0 || errno != EINTR)
            break;
    }
    close(pipeFds[0]);
    result.exitStatus = waitForChild(pid);
    return result;
}

bool PosixProcessRunner::launch(const Command& command, std::string& error)
{
    pid_t pid = spawn(command, -1, error);
    if (pid < 0)
        return false;
    std::thread([pid] { waitForChild(pid); }).detach();
    return true;
}

}  // namespace pb
