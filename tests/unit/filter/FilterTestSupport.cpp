// Helpers of the filter tests: a temporary root, raster streams in memory, captured output, child runs.
#include "tests/unit/filter/FilterTestSupport.h"

#include "common/RootPath.h"
#include "filter/FilterLog.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace filtertest {

TestRoot::TestRoot(bool withLogFolder)
{
    char pattern[] = "/tmp/pb-filter-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (withLogFolder)
        std::filesystem::create_directories(path_ + "/var/log/cups");
    setenv(pb::kRootVariable, path_.c_str(), 1);
}

TestRoot::~TestRoot()
{
    unsetenv(pb::kRootVariable);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TestRoot::logText() const
{
    std::ifstream in(path_ + filter::kFilterLogPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Captured capture(const std::function<void(FILE* out, FILE* log)>& write)
{
    char* buffers[2] = {};
    std::size_t sizes[2] = {};
    FILE* out = open_memstream(&buffers[0], &sizes[0]);
    FILE* log = open_memstream(&buffers[1], &sizes[1]);
    write(out, log);
    std::fclose(out);
    std::fclose(log);
    Captured result{Bytes(buffers[0], buffers[0] + sizes[0]), std::string(buffers[1], sizes[1])};
    std::free(buffers[0]);
    std::free(buffers[1]);
    return result;
}

int memoryFd(const Bytes& bytes)
{
    const int fd = memfd_create("test-bytes", MFD_CLOEXEC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("filling a memfd failed");
    lseek(fd, 0, SEEK_SET);
    return fd;
}

namespace {

// Everything in `fd` from its start; the descriptor is closed.
Bytes takeAll(int fd)
{
    Bytes bytes(static_cast<std::size_t>(std::max<off_t>(lseek(fd, 0, SEEK_END), 0)));
    if (pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        bytes.clear();
    close(fd);
    return bytes;
}

}  // namespace

Bytes rasterStream(const std::vector<rasterwriter::RasterPage>& pages)
{
    const int fd = memoryFd({});
    if (!rasterwriter::writeRaster(fd, pages))
        throw std::runtime_error("writing the raster failed");
    return takeAll(fd);
}

rasterwriter::RasterPage patternPage(rasterwriter::Pattern pattern, int width, int height,
                                     rasterwriter::RasterLayout layout)
{
    return rasterwriter::encodePage(rasterwriter::generatePattern(pattern, width, height), layout);
}

Bytes rawRaster(const std::vector<std::pair<cups_page_header2_t, Bytes>>& pages)
{
    const std::uint32_t sync = CUPS_RASTER_SYNC;  // native byte order, uncompressed
    Bytes bytes(reinterpret_cast<const std::uint8_t*>(&sync), reinterpret_cast<const std::uint8_t*>(&sync + 1));
    for (const auto& [header, data] : pages) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&header);
        bytes = concat({bytes, Bytes(p, p + sizeof header), data});
    }
    return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Process runProgram(const char* program, const std::string& name, std::vector<std::string> args,
                   const Bytes& stdinBytes, const std::string& root)
{
    args.insert(args.begin(), name);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string rootVariable = std::string(pb::kRootVariable) + "=" + root;
    std::string path = "PATH=/usr/bin:/bin";
    char* envp[] = {rootVariable.data(), path.data(), nullptr};

    // Memory files rather than pipes: nothing to pump while the child runs, no deadlock.
    const int in = memoryFd(stdinBytes), out = memoryFd({}), err = memoryFd({});
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(program, argv.data(), envp);
        _exit(127);
    }
    Process result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    close(in);
    result.out = takeAll(out);
    const Bytes errBytes = takeAll(err);
    result.err.assign(errBytes.begin(), errBytes.end());
    return result;
}

}  // namespace filtertest
