// Helpers of the filter tests: a temporary root, raster streams in memory, captured output.
#include "tests/unit/filter/FilterTestSupport.h"

#include "common/RootPath.h"
#include "filter/FilterLog.h"
#include "filter/ImageConversion.h"
#include "filter/PrinterCommands.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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
    if (const char* previous = std::getenv(pb::kRootVariable)) {
        hadRoot_ = true;
        previousRoot_ = previous;
    }
    setenv(pb::kRootVariable, path_.c_str(), 1);
}

TestRoot::~TestRoot()
{
    if (hadRoot_)
        setenv(pb::kRootVariable, previousRoot_.c_str(), 1);
    else
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

int memoryFd(const Bytes& bytes)
{
    const int fd = memfd_create("raster", MFD_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("memfd_create failed");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write to memfd failed");
        done += static_cast<std::size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

Bytes rasterStream(const std::vector<rasterwriter::RasterPage>& pages)
{
    const int fd = memfd_create("raster-out", MFD_CLOEXEC);
    if (fd < 0 || !rasterwriter::writeRaster(fd, pages))
        throw std::runtime_error("writing the raster failed");
    const off_t size = lseek(fd, 0, SEEK_END);
    Bytes bytes(static_cast<std::size_t>(size));
    if (pread(fd, bytes.data(), bytes.size(), 0) != size)
        throw std::runtime_error("reading the raster back failed");
    close(fd);
    return bytes;
}

rasterwriter::RasterPage patternPage(rasterwriter::Pattern pattern, int width, int height,
                                     rasterwriter::RasterLayout layout)
{
    return rasterwriter::encodePage(rasterwriter::generatePattern(pattern, width, height), layout);
}

RawRaster::RawRaster()
{
    const std::uint32_t sync = CUPS_RASTER_SYNC;  // native byte order, uncompressed
    const auto* p = reinterpret_cast<const std::uint8_t*>(&sync);
    bytes_.assign(p, p + sizeof sync);
}

RawRaster& RawRaster::page(const cups_page_header2_t& header, const Bytes& data)
{
    const auto* p = reinterpret_cast<const std::uint8_t*>(&header);
    bytes_.insert(bytes_.end(), p, p + sizeof header);
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return *this;
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

    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    const int fd = memoryFd(raster);
    FilterRun run;
    run.status = entry(static_cast<int>(args.size()), argv.data(), fd, out);
    close(fd);
    std::fclose(out);
    run.output.assign(buffer, buffer + size);
    std::free(buffer);
    return run;
}

namespace {

Bytes captured(const std::function<void(FILE*)>& write)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    write(out);
    std::fclose(out);
    Bytes bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

}  // namespace

Bytes vellumarImage(const std::uint8_t* samples, int width, int height, int printMode)
{
    const int targetWidth = std::min(width, 384);
    const int targetHeight = static_cast<int>(static_cast<float>(height) / static_cast<float>(width) *
                                              static_cast<float>(targetWidth));
    FILE* log = std::fopen("/dev/null", "w");
    filter::ConversionWorkspace workspace;
    Bytes image = captured([&](FILE* out) {
        filter::processImage(out, log, samples, width, height, targetWidth, targetHeight, printMode, workspace);
    });
    std::fclose(log);
    return image;
}

Bytes tessoralImage(const std::uint8_t* samples, int width, int height, int printMode)
{
    FILE* log = std::fopen("/dev/null", "w");
    filter::ConversionWorkspace workspace;
    const std::size_t length = filter::processRasterDataWithDithering(log, samples, width, height, printMode,
                                                                      filter::FilterVariant::Tessoral, workspace);
    std::fclose(log);
    Bytes image = filter::createPrintHeader(width, height);
    image.insert(image.end(), workspace.packed.begin(), workspace.packed.begin() + static_cast<std::ptrdiff_t>(length));
    return image;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace filtertest
