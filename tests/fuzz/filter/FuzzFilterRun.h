// Runs a filter job on fuzz input: the first byte picks the queue and options, the rest is the raster.
#pragma once

#include "common/RootPath.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzfilter {

// No single allocation above 1 GiB (the filters' own buffers stay far below), and a refused
// allocation is returned as null to libcups's C code instead of ending the run.
inline constexpr const char* kAsanOptions = "max_allocation_size_mb=1024:allocator_may_return_null=1";

// A private root whose log files are /dev/null, so that millions of jobs write nothing to disk.
inline void prepareRoot()
{
    static std::string root;
    char pattern[] = "/tmp/pb-fuzz-filter-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        std::abort();
    root = pattern;
    std::filesystem::create_directories(root + "/var/log/cups");
    std::filesystem::create_symlink("/dev/null", root + "/var/log/cups/tandle_log");
    std::filesystem::create_symlink("/dev/null", root + "/var/log/cups/image_buffer1");
    setenv(pb::kRootVariable, root.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
}

using FilterEntry = int (*)(int, char*[], int, FILE*);

inline int runOnInput(FilterEntry entry, const char* const* queues, std::size_t queueCount, const std::uint8_t* data,
                      std::size_t size)
{
    static const int fd = memfd_create("fuzz-raster", MFD_CLOEXEC);
    static FILE* out = std::fopen("/dev/null", "w");
    if (size == 0 || fd < 0 || out == nullptr)
        return 0;
    static const char* const kOptions[] = {"PrintMode=0", "PrintMode=1 MediaType=1", "PrintMode=3 Darkness=3",
                                           "MediaType=2 PrintMode=2"};
    std::string queue = queues[data[0] % queueCount];
    std::string options = kOptions[(data[0] / queueCount) % 4];
    std::string job = "1", user = "fuzz", title = "t", copies = "1";
    char* argv[] = {queue.data(), job.data(), user.data(), title.data(), copies.data(), options.data(), nullptr};

    if (ftruncate(fd, 0) != 0 || pwrite(fd, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1))
        return 0;
    lseek(fd, 0, SEEK_SET);
    entry(6, argv, fd, out);
    return 0;
}

}  // namespace fuzzfilter
