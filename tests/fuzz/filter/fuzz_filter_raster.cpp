// Fuzz target: any bytes as one filter's raster stream (FUZZ_TESSORAL picks tessoral, else vellumar);
// the first byte picks the queue and the options.
#include "common/RootPath.h"
#include "filter/Tessoral.h"
#include "filter/Vellumar.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// libcups allocates a line buffer of the header's cupsBytesPerLine before it checks the header;
// without a cap, a 4 GB claim spends many seconds in the sanitizer's allocator. With one, libcups
// gets null back and refuses the header, as the filters' own page bound would.
extern "C" const char* __asan_default_options()
{
    return "max_allocation_size_mb=1024:allocator_may_return_null=1";
}

// Undefined behaviour is a finding, not a line in the log.
extern "C" const char* __ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1";
}

// A private root whose log files are /dev/null, so that millions of jobs write nothing to disk.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static std::string root;
    char pattern[] = "/tmp/pb-fuzz-filter-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        std::abort();
    root = pattern;
    std::filesystem::create_directories(root + "/var/log/cups");
    for (const char* name : {"/var/log/cups/tandle_log", "/var/log/cups/image_buffer1"})
        std::filesystem::create_symlink("/dev/null", root + name);
    setenv(pb::kRootVariable, root.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
#ifdef FUZZ_TESSORAL
    // Every "T53" page is converted at 1638 x 2237 whatever its size, which is slow under the
    // sanitizers: one slot in eight keeps that path covered without starving the others.
    static const char* const kQueues[] = {"Plain", "ZOR21S-01", "T53-office", "V21", "ZOR22N", "V24", "E58", "Receipt"};
    const auto entry = filter::runTessoral;
#else
    static const char* const kQueues[] = {"Plain", "KRV38-A1B2", "BX940-1", "HM_E7s_label"};
    const auto entry = filter::runVellumar;
#endif
    static const char* const kOptions[] = {"PrintMode=0", "PrintMode=1 MediaType=1", "PrintMode=3 Darkness=3",
                                           "MediaType=2 PrintMode=2"};
    static const int fd = memfd_create("fuzz-raster", MFD_CLOEXEC);
    static FILE* out = std::fopen("/dev/null", "w");
    constexpr std::size_t queueCount = std::size(kQueues);
    if (size == 0 || fd < 0 || out == nullptr || ftruncate(fd, 0) != 0 ||
        pwrite(fd, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1))
        return 0;
    lseek(fd, 0, SEEK_SET);
    std::string queue = kQueues[data[0] % queueCount], options = kOptions[(data[0] / queueCount) % 4];
    std::string job = "1", user = "fuzz", title = "t", copies = "1";
    char* argv[] = {queue.data(), job.data(), user.data(), title.data(), copies.data(), options.data(), nullptr};
    entry(6, argv, fd, out);
    return 0;
}
