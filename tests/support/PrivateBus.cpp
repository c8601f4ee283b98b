// Both children are started by argument vector with a pipe on standard output: the bus
// prints its address there once it listens, the fake prints "ready" once it owns org.bluez.
#include "support/PrivateBus.h"

#include "support/TestFiles.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace pbtest {

namespace {

constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kStopLimit = std::chrono::seconds(5);

std::string busConfiguration(const std::string& folder) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>system</type>\n"
           "  <listen>unix:path=" + folder + "/system_bus_socket</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow own=\"*\"/>\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow receive_sender=\"*\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

// Starts `argv` with standard output on a pipe (returned in `output`) and standard error
// appended to `errorPath`; the environment is this process's with `environment` laid over it.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            const std::string& errorPath, int& output) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string inherited(*entry);
        bool replaced = false;
        for (const auto& setting : environment)
            replaced = replaced || inherited.rfind(setting.substr(0, setting.find('=') + 1), 0) == 0;
        if (!replaced) env.push_back(inherited);
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : env) envp.push_back(e.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv.front().c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (failed != 0) {
        ::close(pipe[0]);
        throw std::runtime_error("cannot start " + argv.front());
    }
    output = pipe[0];
    return pid;
}

// The first line `fd` brings within the time limit, without its "\n"; empty on a time-out or
// end of file.
std::string readLine(int fd) {
    const auto end = std::chrono::steady_clock::now() + kStartLimit;
    std::string line;
    while (std::chrono::steady_clock::now() < end) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) continue;
        char c = 0;
        if (::read(fd, &c, 1) != 1) return {};
        if (c == '\n') return line;
        line += c;
    }
    return {};
}

void stop(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + kStopLimit;
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid = -1;
}

std::string daemonProgram() {
    for (const char* path : {"/usr/bin/dbus-daemon", "/bin/dbus-daemon"})
        if (::access(path, X_OK) == 0) return path;
    throw std::runtime_error("dbus-daemon is not installed (scripts/setup.sh installs it)");
}

}  // namespace

PrivateBus::PrivateBus(const std::string& fakeProgram, const std::vector<std::string>& environment,
                       const std::vector<std::string>& arguments) {
    std::string pattern = (std::filesystem::temp_directory_path() / "pb-bus-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    try {
        writeFile(folder_ + "/bus.conf", busConfiguration(folder_));
        busPid_ = spawn({daemonProgram(), "--nofork", "--print-address=1", "--config-file=" + folder_ + "/bus.conf"}, {},
                        folder_ + "/bus.log", busOutput_);
        address_ = readLine(busOutput_);
        if (address_.empty()) throw std::runtime_error("the private bus did not start: " + readFile(folder_ + "/bus.log"));

        std::vector<std::string> fakeEnvironment = environment;
        output_ = folder_ + "/out";
        controlFifo_ = folder_ + "/control";
        const std::pair<const char*, std::string*> defaults[] = {{"QUORVEL_SIM_OUT=", &output_},
                                                                 {"QUORVEL_SIM_CONTROL=", &controlFifo_}};
        for (const auto& [variable, value] : defaults) {
            const std::string prefix = variable;
            const auto given = std::find_if(environment.begin(), environment.end(),
                                            [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
            if (given != environment.end()) *value = given->substr(prefix.size());
            else fakeEnvironment.push_back(prefix + *value);
        }
        fakeEnvironment.push_back(addressSetting());
        std::vector<std::string> argv{fakeProgram};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        fakePid_ = spawn(argv, fakeEnvironment, folder_ + "/fake-bluez.log", fakeOutput_);
        if (readLine(fakeOutput_) != "ready") throw std::runtime_error("the fake Bluetooth service did not start: " + fakeLog());
    } catch (...) {
        stopAll();
        throw;
    }
}

PrivateBus::~PrivateBus() { stopAll(); }

void PrivateBus::stopAll() {
    stop(fakePid_);
    stop(busPid_);
    for (int* fd : {&fakeOutput_, &busOutput_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string PrivateBus::fakeLog() const { return readFile(folder_ + "/fake-bluez.log"); }

// Non-blocking, so that a fake that died fails the test instead of hanging it. The FIFO is
// read on a thread of the fake's own; waiting for the log line keeps a lever in order with
// the bus calls that follow it.
void PrivateBus::control(const std::string& line) const {
    const std::string taken = "fake bluez: control: \"" + line + "\"";
    auto count = [&] {
        const std::string log = fakeLog();
        std::size_t n = 0;
        for (auto at = log.find(taken); at != std::string::npos; at = log.find(taken, at + 1)) ++n;
        return n;
    };
    const std::size_t before = count();
    const int fd = ::open(controlFifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("the fake's control FIFO " + controlFifo_ + " has no reader");
    const std::string text = line + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written) throw std::runtime_error("the control line \"" + line + "\" could not be written");
    if (!waitUntil([&] { return count() > before; }, std::chrono::seconds(5)))
        throw std::runtime_error("the fake did not take the control line \"" + line + "\": " + fakeLog());
}

}  // namespace pbtest
