// Processes in a temporary root for the agent's integration tests.
#include "AgentHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace agenttest {

bool waitUntil(const std::function<bool()>& condition, Clock::duration limit)
{
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& content, unsigned mode)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

TempRoot::TempRoot()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "pb-agent-root-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = std::filesystem::canonical(pattern).string();
    for (const char* folder : {"/var/run", "/tmp", "/var/log/cups", "/var/spool/cups", "/Users", "/usr/bin",
                               "/usr/sbin", "/out", "/etc"})
        std::filesystem::create_directories(path(folder));
    writeFile(path("/usr/bin/lpstat"), "#!/bin/sh\necho \"$LC_ALL $*\" >> '" + path("/lpstat.calls") +
                                           "'\ncat '" + path("/lpstat.out") + "' 2>/dev/null\nexit 0\n", 0755);
    writeFile(path("/usr/sbin/lpadmin"), "#!/bin/sh\necho \"$*\" >> '" + path("/lpadmin.calls") + "'\nexit 0\n", 0755);
    writeFile(path("/usr/sbin/cupsenable"), "#!/bin/sh\necho \"$*\" >> '" + path("/cupsenable.calls") + "'\nexit 0\n",
              0755);
}

TempRoot::~TempRoot()
{
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void TempRoot::setQueues(const std::vector<std::string>& printerNames) const
{
    std::string listing;
    for (const auto& name : printerNames)
        listing += "device for " + name + ": pellbluetooth://" + name + "\n";
    writeFile(path("/lpstat.out"), listing);
}

Process::Process(std::vector<std::string> argv, std::vector<std::string> environment, const std::string& outputPath,
                 const std::string& inputPath, std::string program, const std::string& errorPath)
{
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry)
        env.emplace_back(*entry);
    for (auto& setting : environment) {
        const auto name = setting.substr(0, setting.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        env.push_back(setting);
    }
    std::vector<char*> args, envp;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, inputPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (errorPath.empty())
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (program.empty())
        program = argv.front();
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, args.data(), envp.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ < 0)
        throw std::runtime_error("cannot start " + argv.front());
}

Process::~Process()
{
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> Process::waitExit(Clock::duration limit)
{
    const auto end = Clock::now() + limit;
    while (!status_) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() > end)
            return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
    return status_;
}

long Process::cpuTicks() const
{
    std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
    // Fields after the command name, which is in parentheses and may hold blanks.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::stol(field);
        if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

std::string agentPath() { return PB_AGENT_PATH; }
std::string backendPath() { return PB_BACKEND_PATH; }
std::string filterPath() { return PB_FILTER_PATH; }
std::string rasterWriterPath() { return PB_RASTER_WRITER_PATH; }
std::string renderPath() { return PB_RENDER_PATH; }

Agent::Agent(const TempRoot& root, const std::string& printers, std::vector<std::string> extra)
    : root_(root),
      process_({agentPath()},
               [&] {
                   std::vector<std::string> env{"PELLBLUETOOTH_ROOT=" + root.root(), "QUORVEL_BLE=sim",
                                                "QUORVEL_SIM_PRINTERS=" + printers, "QUORVEL_SIM_OUT=" + root.path("/out")};
                   env.insert(env.end(), extra.begin(), extra.end());
                   return env;
               }(),
               root.path("/agent.out"))
{
    if (!waitForLog("readLoop"))
        throw std::runtime_error("the agent did not start listening");
}

bool Agent::waitForLog(const std::string& text, Clock::duration limit) const
{
    return waitUntil([&] { return logHas(text); }, limit);
}

std::string filteredJob(const TempRoot& root, const std::string& printer, int pages, int height)
{
    const std::string raster = root.path("/job.ras");
    const std::string job = root.path("/job-" + std::to_string(pages) + ".bin");
    Process writer({rasterWriterPath(), "--pattern", "sample", "--width", "384", "--height", std::to_string(height),
                    "--pages", std::to_string(pages), "-o", raster},
                   {"PELLBLUETOOTH_ROOT=" + root.root()}, root.path("/writer.out"));
    if (writer.waitExit(30s) != 0)
        throw std::runtime_error("pb-raster-writer failed");
    // CUPS gives a filter the queue name as argv[0]; vellumar picks its command frame from it.
    std::filesystem::remove(job);
    Process filter({printer, "1", "user", "title", "1", ""}, {"PELLBLUETOOTH_ROOT=" + root.root()}, job, raster,
                   filterPath(), root.path("/filter.err"));
    if (filter.waitExit(30s) != 0)
        throw std::runtime_error("vellumar failed");
    return job;
}

BackendRun runBackend(const TempRoot& root, const std::string& printer, const std::string& jobFile,
                      Clock::duration limit, std::vector<std::string> extraEnvironment)
{
    const std::string uri = "pellbluetooth://" + printer;
    const std::string outputPath = root.path("/backend.out");
    std::filesystem::remove(outputPath);
    std::vector<std::string> env{"PELLBLUETOOTH_ROOT=" + root.root()};
    env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
    const auto start = Clock::now();
    BackendRun run;
    {
        // CUPS runs a backend with its device URI as argv[0].
        Process backend({uri, "42", "user", "title", "1", ""}, env, outputPath, jobFile, backendPath());
        run.status = backend.waitExit(limit);
        run.elapsed = Clock::now() - start;
    }
    run.output = readFile(outputPath);
    return run;
}

std::vector<std::filesystem::path> pages(const std::string& folder)
{
    std::vector<std::filesystem::path> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().filename().string().rfind("page-", 0) == 0)
            found.push_back(entry.path());
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        auto number = [](const std::filesystem::path& p) { return std::stoi(p.stem().string().substr(5)); };
        return number(a) < number(b);
    });
    return found;
}

}  // namespace agenttest
