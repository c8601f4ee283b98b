#include "support/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace pbtest {

Process::Process(std::vector<std::string> argv, std::vector<std::string> environment, const std::string& outputPath,
                 const std::string& inputPath, std::string program, const std::string& errorPath) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    for (auto& setting : environment) {
        const auto name = setting.substr(0, setting.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        env.push_back(setting);
    }
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inputPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (errorPath.empty() ? outputPath : errorPath).c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (program.empty()) program = argv.front();
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ < 0) throw std::runtime_error("cannot start " + program);
}

Process::~Process() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> Process::waitExit(Clock::duration limit) {
    const auto end = Clock::now() + limit;
    int status = 0;
    while (!status_) {
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else if (Clock::now() > end)
            return std::nullopt;
        else
            std::this_thread::sleep_for(10ms);
    }
    return status_;
}

long Process::cpuTicks() const {
    const std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
    // Fields 14 and 15 (utime, stime), counted from field 3: the name before it may hold blanks.
    const auto name = stat.rfind(')');
    if (name == std::string::npos) throw std::runtime_error("process " + std::to_string(pid_) + " is gone");
    long utime = 0, stime = 0;
    std::sscanf(stat.c_str() + name + 1, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %ld %ld", &utime, &stime);
    return utime + stime;
}

long Process::residentKb() const {
    const std::string status = readFile("/proc/" + std::to_string(pid_) + "/status");
    const auto at = status.find("VmRSS:");
    if (at == std::string::npos) throw std::runtime_error("process " + std::to_string(pid_) + " is gone");
    return std::strtol(status.c_str() + at + 6, nullptr, 10);
}

void Process::signal(int number) const {
    if (pid_ > 0 && !status_) kill(pid_, number);
}

}  // namespace pbtest
