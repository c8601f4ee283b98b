// Runs the built backend as a process in a temporary root against a scripted agent end.
#include "BackendHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace harness {

namespace {
constexpr auto kPollStep = 20ms;
}

bool waitUntil(const std::function<bool()>& condition, Clock::duration limit)
{
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content, unsigned mode)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
}

TempRoot::TempRoot(bool withRunFolder)
{
    char pattern[] = "/tmp/pb-backend-test.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/tmp");
    std::filesystem::create_directories(root_ + "/var/log/cups");
    if (withRunFolder)
        std::filesystem::create_directories(root_ + "/var/run");
    // The agent makes the reply channel.
    mkfifo(path("/tmp/cups-bluetooth-read").c_str(), 0666);
}

TempRoot::~TempRoot()
{
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

Backend::Backend(const TempRoot& root, std::vector<std::string> argv, const std::string& input) : root_(root)
{
    writeFile(root.path("/job-input"), input);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string(*entry).rfind("PELLBLUETOOTH_ROOT=", 0) != 0)
            environment.emplace_back(*entry);
    }
    environment.push_back("PELLBLUETOOTH_ROOT=" + root.root());
    std::vector<char*> args, envp;
    for (auto& argument : argv)
        args.push_back(argument.data());
    args.push_back(nullptr);
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    const std::string in = root.path("/job-input"), out = root.path("/stdout"), err = root.path("/stderr");
    pid_ = fork();
    if (pid_ == 0) {
        int inFd = open(in.c_str(), O_RDONLY);
        int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(inFd, 0), dup2(outFd, 1), dup2(errFd, 2);
        execve(PB_BACKEND_PATH, args.data(), envp.data());
        _exit(127);
    }
}

Backend::~Backend()
{
    if (!status_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> Backend::waitExit(Clock::duration limit)
{
    waitUntil(
        [this] {
            if (status_)
                return true;
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_)
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return status_.has_value();
        },
        limit);
    return status_;
}

std::string Backend::output() const
{
    return readFile(root_.path("/stdout"));
}

std::string Backend::errors() const
{
    return readFile(root_.path("/stderr"));
}

std::string Backend::log() const
{
    return readFile(root_.path("/var/log/cups/pellbluetooth.log"));
}

std::optional<std::string> ScriptedAgent::readOneWriter(const std::string& path, Clock::duration limit)
{
    const auto deadline = Clock::now() + limit;
    struct stat status {};
    if (!waitUntil([&] { return stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode); }, limit))
        return std::nullopt;
    // Opened without waiting; poll() reports the writer's data and then its close (POLLHUP is
    // only raised once a writer has come and gone).
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) {
            close(fd);
            return std::nullopt;
        }
        char chunk[65536];
        ssize_t count = read(fd, chunk, sizeof chunk);
        if (count > 0) {
            text.append(chunk, static_cast<std::size_t>(count));
            continue;
        }
        if (count == 0 || (entry.revents & POLLHUP))
            break;
    }
    close(fd);
    return text;
}

std::optional<std::string> ScriptedAgent::readCommand(Clock::duration limit)
{
    return readOneWriter(root_.path("/var/run/cups-bluetooth-write"), limit);
}

std::optional<std::string> ScriptedAgent::readPrintData(Clock::duration limit)
{
    return readOneWriter(root_.path("/var/run/cups-bluetooth"), limit);
}

bool ScriptedAgent::reply(const std::string& text, Clock::duration limit)
{
    const std::string path = root_.path("/tmp/cups-bluetooth-read");
    int fd = -1;
    // A non-blocking open for writing fails with ENXIO until a reader has the FIFO open.
    if (!waitUntil([&] { return (fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, limit))
        return false;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

}  // namespace harness
