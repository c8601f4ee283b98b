// Helpers of the filter tests: a temporary root, raster streams in memory, captured output, child runs.
#include "tests/unit/filter/FilterTestSupport.h"

#include "common/RootPath.h"
#include "filter/FilterLog.h"
#include "filter/PrinterCommands.h"

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
    char* outBuffer = nullptr;
    char* logBuffer = nullptr;
    std::size_t outSize = 0, logSize = 0;
    FILE* out = open_memstream(&outBuffer, &outSize);
    FILE* log = open_memstream(&logBuffer, &logSize);
    write(out, log);
    std::fclose(out);
    std::fclose(log);
    Captured result{Bytes(outBuffer, outBuffer + outSize), std::string(logBuffer, logSize)};
    std::free(outBuffer);
    std::free(logBuffer);
    return result;
}

int memoryFd(const Bytes& bytes)
{
    const int fd = memfd_create("raster", MFD_CLOEXEC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("filling a memfd failed");
    lseek(fd, 0, SEEK_SET);
    return fd;
}

namespace {

Bytes readAll(int fd)
{
    const off_t size = lseek(fd, 0, SEEK_END);
    Bytes bytes(static_cast<std::size_t>(std::max<off_t>(size, 0)));
    if (size > 0 && pread(fd, bytes.data(), bytes.size(), 0) != size)
        bytes.clear();
    return bytes;
}

}  // namespace

Bytes rasterStream(const std::vector<rasterwriter::RasterPage>& pages)
{
    const int fd = memfd_create("raster-out", MFD_CLOEXEC);
    if (fd < 0 || !rasterwriter::writeRaster(fd, pages))
        throw std::runtime_error("writing the raster failed");
    Bytes bytes = readAll(fd);
    close(fd);
    return bytes;
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
        bytes.insert(bytes.end(), p, p + sizeof header);
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    return bytes;
}

FilterRun runFilter(FilterEntry entry, const std::string& queue, const std::vector<std::string>& options,
                    const Bytes& raster)
{
    std::vector<std::string> args{queue, "1", "user", "title", "1"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int fd = memoryFd(raster);
    FilterRun run;
    run.output = capture([&](FILE* out, FILE*) {
        run.status = entry(static_cast<int>(args.size()), argv.data(), fd, out);
    }).out;
    close(fd);
    return run;
}

Bytes printedImage(filter::FilterVariant variant, const std::uint8_t* samples, int width, int height, int printMode)
{
    filter::ConversionWorkspace workspace;
    if (variant == filter::FilterVariant::Vellumar) {
        const int targetWidth = std::min(width, 384);
        const int targetHeight = static_cast<int>(static_cast<float>(height) / static_cast<float>(width) *
                                                  static_cast<float>(targetWidth));
        return capture([&](FILE* out, FILE* log) {
            filter::processImage(out, log, samples, width, height, targetWidth, targetHeight, printMode, workspace);
        }).out;
    }
    std::size_t length = 0;
    capture([&](FILE*, FILE* log) {
        length = filter::processRasterDataWithDithering(log, samples, width, height, printMode, variant, workspace);
    });
    return concat({filter::createPrintHeader(width, height),
                   Bytes(workspace.packed.begin(), workspace.packed.begin() + static_cast<std::ptrdiff_t>(length))});
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
    const int in = memoryFd(stdinBytes);
    const int out = memfd_create("stdout", MFD_CLOEXEC);
    const int err = memfd_create("stderr", MFD_CLOEXEC);
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
    result.out = readAll(out);
    const Bytes errBytes = readAll(err);
    result.err.assign(errBytes.begin(), errBytes.end());
    for (int fd : {in, out, err})
        close(fd);
    return result;
}

}  // namespace filtertest
