// Whole-process timing of the agent on the simulated radio: job bytes per second through the
// agent for a 10 MB job (and its CPU time per MB), beside a plain FIFO copy of the same text;
// and the time from the backend's start to "Print job finished" for a 20 KB job on a 20 KB/s
// link, beside the link's own time. Exits 2 when a target is missed, 1 on failure.
//   bench_agent QUORVEL PELLBLUETOOTH
#include "common/Channel.h"
#include "common/Fifo.h"
#include "common/HexText.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kThroughputJobBytes = 10u * 1000 * 1000;
constexpr double kThroughputTargetMBps = 20.0;
constexpr std::size_t kLatencyJobBytes = 20u * 1024;
constexpr std::uint64_t kLinkBytesPerSecond = 20u * 1024;
constexpr double kLatencySlackFactor = 1.10;
constexpr double kLatencySlackSeconds = 0.3;
constexpr const char* kPrinter = "KRV38-BENCH";

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

double seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

struct Root {
    std::string path;
    Root()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "pb-bench-agent-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        path = pattern;
        for (const char* folder : {"/var/run", "/tmp", "/var/log/cups", "/var/spool/cups", "/usr/bin", "/usr/sbin"})
            std::filesystem::create_directories(path + folder);
        // The backend makes the print-data channel; the benchmark plays the backend.
        pb::makeFifo(path + "/var/run/cups-bluetooth", 0660);
        std::ofstream(path + "/usr/bin/lpstat") << "#!/bin/sh\necho 'device for " << kPrinter
                                                << ": pellbluetooth://" << kPrinter << "'\n";
        std::ofstream(path + "/usr/sbin/lpadmin") << "#!/bin/sh\nexit 0\n";
        chmod((path + "/usr/bin/lpstat").c_str(), 0755);
        chmod((path + "/usr/sbin/lpadmin").c_str(), 0755);
    }
    ~Root() { std::filesystem::remove_all(path); }
    std::string log() const { return readFile(path + "/var/log/cups/pellbluetooth_backend.log"); }
};

pid_t spawn(const std::string& program, std::vector<std::string> argv, const std::vector<std::string>& extraEnv,
            const std::string& input, const std::string& output)
{
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry)
        env.emplace_back(*entry);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> args, envp;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

double cpuSeconds(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index)
        if (index == 14 || index == 15)
            ticks += std::stol(field);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool waitFor(const std::function<bool()>& condition, Clock::duration limit)
{
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class Agent {
public:
    Agent(const std::string& program, const Root& root, const std::vector<std::string>& settings) : root_(root)
    {
        std::vector<std::string> env{"PELLBLUETOOTH_ROOT=" + root.path, "QUORVEL_BLE=sim",
                                     std::string("QUORVEL_SIM_PRINTERS=") + kPrinter};
        env.insert(env.end(), settings.begin(), settings.end());
        pid_ = spawn(program, {program}, env, "/dev/null", "/dev/null");
        if (pid_ < 0 || !waitFor([&] { return root.log().find("Printer update credit") != std::string::npos; }, 10s))
            throw std::runtime_error("the agent did not connect to its printer");
    }
    ~Agent()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }

private:
    const Root& root_;
    pid_t pid_;
};

std::vector<std::uint8_t> randomJob(std::size_t size)
{
    std::vector<std::uint8_t> job(size);
    std::mt19937 random(42);
    for (auto& byte : job)
        byte = static_cast<std::uint8_t>(random());
    return job;
}

// The time to pass `text` through a FIFO from one thread to another: what any reader of the
// print-data channel pays before the agent does anything with the job.
double fifoCopySeconds(const std::string& text)
{
    Root root;
    const std::string path = root.path + "/copy";
    pb::makeFifo(path, 0600);
    const auto start = Clock::now();
    std::thread writer([&] { pb::writeToFifo(path, text); });
    std::error_code error;
    int fd = pb::openFifoForReading(path, error);
    std::string received;
    received.reserve(text.size());
    pb::readToEnd(fd, received);
    ::close(fd);
    writer.join();
    return seconds(Clock::now() - start);
}

int throughput(const std::string& agentProgram)
{
    Root root;
    const auto job = randomJob(kThroughputJobBytes);
    const std::string hex = pb::encodeHex(job);
    const double baseline = fifoCopySeconds(hex);

    // A printer that consumes at once and grants its whole buffer, then half of it at a time.
    Agent agent(agentProgram, root, {"QUORVEL_SIM_RATE=instant", "QUORVEL_SIM_MTU=512", "QUORVEL_SIM_CREDITS=4096"});
    std::this_thread::sleep_for(300ms);
    const double cpuBefore = cpuSeconds(agent.pid());
    const auto start = Clock::now();
    std::thread replies([&] {
        // Reports on the job ("status sending ...") come first; the outcome ends the wait.
        std::string all;
        while (all.find(pb::kStatusFinished) == std::string::npos && all.find(pb::kStatusError) == std::string::npos) {
            std::error_code error;
            int fd = pb::openFifoForReading(root.path + "/tmp/cups-bluetooth-read", error);
            if (fd < 0)
                break;
            std::string text;
            pb::readToEnd(fd, text);
            ::close(fd);
            all += text;
        }
    });
    pb::writeToFifo(root.path + "/var/run/cups-bluetooth-write", pb::doPrintMessage(std::string("pellbluetooth://") + kPrinter, hex.size()));
    if (pb::writeToFifo(root.path + "/var/run/cups-bluetooth", hex)) {
        std::printf("!! the agent did not take the print data\n");
        std::_Exit(1);
    }
    replies.join();  // "status finished"
    const double elapsed = seconds(Clock::now() - start);
    const double cpu = cpuSeconds(agent.pid()) - cpuBefore;
    const double megabytes = static_cast<double>(kThroughputJobBytes) / 1e6;

    const double rate = megabytes / elapsed;
    std::printf("%-44s %10.1f MB/s  (%.3f s; FIFO copy of the hex text %.3f s, %.1f MB/s of job)\n",
                "10 MB job through the agent", rate, elapsed, baseline, megabytes / baseline);
    std::printf("%-44s %10.3f s/MB  (hex decoding, chunking and the in-process printer included)\n",
                "agent CPU time per MB of job", cpu / megabytes);
    const bool met = rate >= kThroughputTargetMBps;
    std::printf("%-44s %10s  target >= %.0f MB/s\n", "", met ? "ok" : "! MISSED", kThroughputTargetMBps);
    return met ? 0 : 2;
}

int latency(const std::string& agentProgram, const std::string& backendProgram)
{
    Root root;
    Agent agent(agentProgram, root, {"QUORVEL_SIM_RATE=" + std::to_string(kLinkBytesPerSecond)});
    std::this_thread::sleep_for(300ms);
    const auto job = randomJob(kLatencyJobBytes);
    const std::string jobPath = root.path + "/job.bin";
    std::ofstream(jobPath, std::ios::binary).write(reinterpret_cast<const char*>(job.data()),
                                                   static_cast<std::streamsize>(job.size()));
    const std::string output = root.path + "/backend.out";
    const auto start = Clock::now();
    pid_t backend = spawn(backendProgram, {std::string("pellbluetooth://") + kPrinter, "1", "bench", "job", "1", ""},
                          {"PELLBLUETOOTH_ROOT=" + root.path}, jobPath, output);
    waitpid(backend, nullptr, 0);
    const double elapsed = seconds(Clock::now() - start);
    if (readFile(output).find("Print job finished") == std::string::npos) {
        std::printf("!! the backend ended without \"Print job finished\"\n");
        return 1;
    }
    const double link = static_cast<double>(kLatencyJobBytes) / static_cast<double>(kLinkBytesPerSecond);
    const double limit = link * kLatencySlackFactor + kLatencySlackSeconds;
    std::printf("%-44s %10.3f s  (the link alone: %.3f s; ratio %.2f)\n", "20 KB job, backend start to finished",
                elapsed, link, elapsed / link);
    const bool met = elapsed <= limit;
    std::printf("%-44s %10s  target <= %.3f s (link time + 10%% + 0.3 s)\n", "", met ? "ok" : "! MISSED", limit);
    return met ? 0 : 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_agent QUORVEL PELLBLUETOOTH\n");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        const int first = throughput(argv[1]);
        const int second = latency(argv[1], argv[2]);
        return std::max(first, second);
    } catch (const std::exception& error) {
        std::printf("!! %s\n", error.what());
        return 1;
    }
}
