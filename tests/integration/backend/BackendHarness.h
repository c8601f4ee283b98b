// Runs the built backend as a process in a temporary root, with the agent's end of the FIFO
// channel scripted by the test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace harness {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `condition` until it holds or `limit` passes; returns whether it held.
inline bool waitUntil(const std::function<bool()>& condition, Clock::duration limit)
{
    for (const auto deadline = Clock::now() + limit; !condition(); std::this_thread::sleep_for(20ms))
        if (Clock::now() >= deadline)
            return false;
    return true;
}

inline std::string readFile(const std::string& path)
{
    std::stringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

inline void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
}

// A temporary root with tmp, var/log/cups, (var/run) and the reply channel the agent makes.
// Removed with everything in it at destruction.
class TempRoot {
public:
    explicit TempRoot(bool withRunFolder = true)
    {
        char pattern[] = "/tmp/pb-backend-test.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        std::filesystem::create_directories(root_ + "/tmp");
        std::filesystem::create_directories(root_ + "/var/log/cups");
        if (withRunFolder)
            std::filesystem::create_directories(root_ + "/var/run");
        mkfifo(path("/tmp/cups-bluetooth-read").c_str(), 0666);
    }
    ~TempRoot() { std::filesystem::remove_all(root_); }
    std::string path(const std::string& absolute) const { return root_ + absolute; }
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

// The backend started with `argv` (argv[0] as CUPS gives it) and the job bytes `input` on
// standard input; standard output and error go to files under the root. Killed if still running
// at destruction.
class Backend {
public:
    Backend(const TempRoot& root, std::vector<std::string> argv, const std::string& input = {}) : root_(root)
    {
        writeFile(root.path("/job-input"), input);
        std::vector<std::string> environment{"PELLBLUETOOTH_ROOT=" + root.root()};
        for (char** entry = environ; *entry != nullptr; ++entry)
            if (std::string(*entry).rfind("PELLBLUETOOTH_ROOT=", 0) != 0)
                environment.emplace_back(*entry);
        std::vector<char*> args, envp;
        for (auto& argument : argv)
            args.push_back(argument.data());
        for (auto& entry : environment)
            envp.push_back(entry.data());
        args.push_back(nullptr), envp.push_back(nullptr);
        const std::string in = root.path("/job-input"), out = root.path("/stdout"), err = root.path("/stderr");
        if ((pid_ = fork()) == 0) {
            dup2(open(in.c_str(), O_RDONLY), 0);
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            execve(PB_BACKEND_PATH, args.data(), envp.data());
            _exit(127);
        }
    }
    ~Backend()
    {
        if (!status_ && pid_ > 0)
            kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    }

    // The exit status once it ended within `limit`; nullopt if it still runs.
    std::optional<int> waitExit(Clock::duration limit)
    {
        int raw = 0;
        waitUntil([&] {
            return status_ || (waitpid(pid_, &raw, WNOHANG) == pid_ && (status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw)));
        }, limit);
        return status_;
    }
    std::string output() const { return readFile(root_.path("/stdout")); }
    std::string errors() const { return readFile(root_.path("/stderr")); }
    std::string log() const { return readFile(root_.path("/var/log/cups/pellbluetooth.log")); }
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
    std::optional<std::string> readCommand(Clock::duration limit = 10s) { return readOneWriter("-write", limit); }
    std::optional<std::string> readPrintData(Clock::duration limit = 10s) { return readOneWriter("", limit); }
    // Writes `text` on the reply channel once the backend reads it; false on time-out.
    bool reply(const std::string& text, Clock::duration limit = 10s)
    {
        int fd = -1;
        // A non-blocking open for writing fails with ENXIO until a reader has the FIFO open.
        const std::string path = root_.path("/tmp/cups-bluetooth-read");
        if (!waitUntil([&] { return (fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, limit))
            return false;
        const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        return written;
    }

private:
    std::optional<std::string> readOneWriter(const std::string& suffix, Clock::duration limit)
    {
        const auto deadline = Clock::now() + limit;
        const std::string path = root_.path("/var/run/cups-bluetooth" + suffix);
        struct stat status {};
        if (!waitUntil([&] { return stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode); }, limit))
            return std::nullopt;
        // Opened without waiting; poll() reports the writer's data and then its close (POLLHUP
        // is only raised once a writer has come and gone).
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        std::optional<std::string> text(fd >= 0 ? std::optional<std::string>("") : std::nullopt);
        for (char chunk[65536]; text;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd entry{fd, POLLIN, 0};
            const ssize_t count = left > 0 && poll(&entry, 1, static_cast<int>(left)) > 0 ? read(fd, chunk, sizeof chunk) : -2;
            if (count > 0)
                text->append(chunk, static_cast<std::size_t>(count));
            else if (count == -2)
                text.reset();
            else if (count == 0 || (entry.revents & POLLHUP))
                break;
        }
        if (fd >= 0)
            close(fd);
        return text;
    }
    const TempRoot& root_;
};

}  // namespace harness
