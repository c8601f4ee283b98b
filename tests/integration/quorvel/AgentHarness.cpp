// Processes in a temporary root for the agent's integration tests.
#include "AgentHarness.h"

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

namespace agenttest {

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

static const char* const kAgentLog = "/var/log/cups/pellbluetooth_backend.log";

Agent::Agent(const TempRoot& root, const std::string& printers, std::vector<std::string> extra)
    : root_(root), logStart_(readFile(root.path(kAgentLog)).size()), process_({PB_AGENT_PATH}, [&] {
          extra.insert(extra.begin(), {"PELLBLUETOOTH_ROOT=" + root.root(), "QUORVEL_BLE=sim",
                                       "QUORVEL_SIM_PRINTERS=" + printers, "QUORVEL_SIM_OUT=" + root.path("/out")});
          return extra;
      }(), root.path("/agent.out")) {
    if (!waitForLogSinceStart("readLoop")) throw std::runtime_error("the agent did not start listening");
}

bool Agent::waitForLog(const std::string& text, Clock::duration limit) const {
    return waitUntil([&] { return logHas(text); }, limit);
}

bool Agent::logHasSinceStart(const std::string& text) const {
    return readFile(root_.path(kAgentLog)).find(text, logStart_) != std::string::npos;
}

bool Agent::waitForLogSinceStart(const std::string& text, Clock::duration limit) const {
    return waitUntil([&] { return logHasSinceStart(text); }, limit);
}

static const TempRoot& withQueue(const TempRoot& root, const std::string& printer) {
    root.setQueues({printer});
    return root;
}

ConnectedAgent::ConnectedAgent(const std::string& printer, std::vector<std::string> simulator, int pages)
    : agent(withQueue(root, printer), printer, std::move(simulator)) {
    if (!agent.waitForLog("Connected to " + printer)) throw std::runtime_error(printer + " was not connected");
    job = filteredJob(root, printer, pages);
}

std::string filteredJob(const TempRoot& root, const std::string& printer, int pages) {
    const std::string raster = root.path("/job.ras");
    const std::string job = root.path("/job-" + std::to_string(pages) + ".bin");
    const std::vector<std::string> env{"PELLBLUETOOTH_ROOT=" + root.root()};
    Process writer({PB_RASTER_WRITER_PATH, "--pattern", "sample", "--width", "384", "--height", "240", "--pages",
                    std::to_string(pages), "-o", raster},
                   env, root.path("/writer.out"));
    if (writer.waitExit(30s) != 0) throw std::runtime_error("pb-raster-writer failed");
    // CUPS gives a filter the queue name as argv[0]; vellumar picks its command frame from it.
    std::filesystem::remove(job);
    Process filter({printer, "1", "user", "title", "1", ""}, env, job, raster, PB_FILTER_PATH, root.path("/filter.err"));
    if (filter.waitExit(30s) != 0) throw std::runtime_error("vellumar failed");
    return job;
}

BackendRun runBackend(const TempRoot& root, const std::string& printer, const std::string& jobFile,
                      Clock::duration limit) {
    const std::string outputPath = root.path("/backend.out");
    std::filesystem::remove(outputPath);
    const auto start = Clock::now();
    BackendRun run;
    {
        // CUPS runs a backend with its device URI as argv[0].
        Process backend({"pellbluetooth://" + printer, "42", "user", "title", "1", ""},
                        {"PELLBLUETOOTH_ROOT=" + root.root()}, outputPath, jobFile, PB_BACKEND_PATH);
        run.status = backend.waitExit(limit);
        run.elapsed = Clock::now() - start;
    }
    run.output = readFile(outputPath);
    return run;
}

std::vector<std::string> pageImages(const std::string& folder) {
    std::vector<std::string> images;
    const auto page = [&](int number) { return folder + "/page-" + std::to_string(number) + ".png"; };
    for (int number = 1; std::filesystem::exists(page(number)); ++number) images.push_back(readFile(page(number)));
    return images;
}

}  // namespace agenttest
