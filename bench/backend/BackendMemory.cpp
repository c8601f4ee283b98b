// Peak resident memory of the backend handing a large job to a scripted agent, as a multiple of
// the job's size, beside a straightforward reference (read into a growing buffer, then hex into
// a growing text) measured in the same run. Exits 2 when the backend exceeds its target.
//   bench_backend_memory BACKEND_PATH [MEGABYTES]
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr double kTargetRatio = 3.5;
constexpr std::size_t kDefaultMegabytes = 50;
constexpr std::size_t kMegabyte = 1024 * 1024;

// Reads one writer's text from a FIFO to its end, counting the bytes and keeping the first few.
std::size_t drain(const std::string& path, std::string* head)
{
    while (!std::filesystem::exists(path))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<char> chunk(1 << 16);
    std::size_t total = 0;
    for (ssize_t count; (count = read(fd, chunk.data(), chunk.size())) > 0;) {
        if (head != nullptr && head->size() < 64)
            head->append(chunk.data(), static_cast<std::size_t>(count));
        total += static_cast<std::size_t>(count);
    }
    close(fd);
    return total;
}

long backendPeakKilobytes(const std::string& backend, const std::string& root, const std::string& job)
{
    std::string rootVariable = "PELLBLUETOOTH_ROOT=" + root;
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry)
        envp.push_back(*entry);
    envp.push_back(rootVariable.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv = {"pellbluetooth://KRV38-BENCH", "1", "bench", "bench", "1", ""};
    std::vector<char*> args;
    for (auto& argument : argv)
        args.push_back(argument.data());
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(job.c_str(), O_RDONLY), null = open("/dev/null", O_WRONLY);
        dup2(in, 0), dup2(null, 1), dup2(null, 2);
        execve(backend.c_str(), args.data(), envp.data());
        _exit(127);
    }
    std::string command;
    drain(root + "/var/run/cups-bluetooth-write", &command);
    std::size_t hexBytes = drain(root + "/var/run/cups-bluetooth", nullptr);
    int reply = open((root + "/tmp/cups-bluetooth-read").c_str(), O_WRONLY);
    [[maybe_unused]] ssize_t ignored = write(reply, "status finished", 15);
    close(reply);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || hexBytes != 2 * std::filesystem::file_size(job)) {
        std::fprintf(stderr, "backend run failed: status %d, %zu hex bytes\n", status, hexBytes);
        std::exit(1);
    }
    return usage.ru_maxrss;
}

// The reference in a child process of its own, so its peak is measured alone.
long referencePeakKilobytes(const std::string& job)
{
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(job.c_str(), O_RDONLY);
        std::vector<unsigned char> bytes;
        unsigned char piece[8192];
        for (ssize_t count; (count = read(in, piece, sizeof piece)) > 0;)
            bytes.insert(bytes.end(), piece, piece + count);
        std::string text;
        char digits[3];
        for (unsigned char byte : bytes) {
            std::snprintf(digits, sizeof digits, "%02x", byte);
            text += digits;
        }
        int null = open("/dev/null", O_WRONLY);
        [[maybe_unused]] ssize_t ignored = write(null, text.data(), text.size());
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BACKEND_PATH [MEGABYTES]\n", argv[0]);
        return 1;
    }
    const std::size_t megabytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : kDefaultMegabytes;
    char pattern[] = "/tmp/pb-backend-bench.XXXXXX";
    const std::string root = mkdtemp(pattern);
    for (const char* folder : {"/var/run", "/tmp", "/var/log/cups"})
        std::filesystem::create_directories(root + folder);
    mkfifo((root + "/tmp/cups-bluetooth-read").c_str(), 0600);
    const std::string job = root + "/job.bin";
    {
        std::vector<unsigned char> block(kMegabyte);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
        FILE* file = std::fopen(job.c_str(), "wb");
        for (std::size_t i = 0; i < megabytes; ++i)
            std::fwrite(block.data(), 1, block.size(), file);
        std::fclose(file);
    }
    const double jobKilobytes = static_cast<double>(megabytes * kMegabyte) / 1024.0;
    const long backend = backendPeakKilobytes(argv[1], root, job);
    const long reference = referencePeakKilobytes(job);
    std::filesystem::remove_all(root);

    const double ratio = static_cast<double>(backend) / jobKilobytes;
    std::printf("%-34s %12s %14s %10s\n", "program", "job MB", "peak RSS MB", "x job");
    std::printf("%-34s %12zu %14.1f %10.2f\n", "pellbluetooth", megabytes, backend / 1024.0, ratio);
    std::printf("%-34s %12zu %14.1f %10.2f\n", "reference (grow buffer, grow text)", megabytes, reference / 1024.0,
                static_cast<double>(reference) / jobKilobytes);
    std::printf("target: pellbluetooth at most %.1f x the job; backend / reference = %.2f\n", kTargetRatio,
                static_cast<double>(backend) / static_cast<double>(reference));
    if (ratio > kTargetRatio) {
        std::printf("! pellbluetooth is over its memory target\n");
        return 2;
    }
    return 0;
}
