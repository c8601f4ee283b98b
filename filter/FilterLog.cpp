// The filters' job log: one shared, append-only text file with a time stamp before each entry.
#include "filter/FilterLog.h"

#include "filter/PixelLayout.h"

#include "common/ChannelAccess.h"
#include "common/LogFile.h"

#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

extern char** environ;

namespace filter {

namespace {

constexpr std::size_t kTimeStampSize = 20;
constexpr std::size_t kHexLineSize = 1024;  // the entry text, its terminating zero included

// A header's point values come from outside: truncate them to whole numbers without the
// undefined behaviour of converting an out-of-range float.
unsigned pointsShown(float points)
{
    if (!(points >= 0.0f) || points >= 4294967296.0f)
        return 0;
    return static_cast<unsigned>(points);
}

}  // namespace

FILE* openLogFile(const char* path)
{
    // Shared by both filters, which CUPS runs as lp: made open to root and lp, never through a
    // link; a file of ours left open to everyone is closed up.
    (void)pb::ensureLogFile(path, pb::kSharedLogMode);
    const int fd = pb::openLogForAppending(path);
    FILE* handle = fd >= 0 ? fdopen(fd, "a") : nullptr;
    if (handle == nullptr) {
        if (fd >= 0)
            ::close(fd);
        std::fprintf(stderr, "Failed to open log file: %s\n", path);
    }
    return handle;
}

void closeLogFile(FILE* handle)
{
    if (handle != nullptr)
        std::fclose(handle);
}

void getTimeString(char* buffer, std::size_t size)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &local);
}

void printLog(FILE* handle, const char* format, ...)
{
    FILE* out = (handle != nullptr) ? handle : stderr;
    char stamp[kTimeStampSize];
    getTimeString(stamp, sizeof stamp);
    std::fprintf(out, "[%s] ", stamp);
    va_list args;
    va_start(args, format);
    std::vfprintf(out, format, args);
    va_end(args);
}

void print_argv(int argc, char* argv[], FILE* handle)
{
    for (int i = 0; i < argc; ++i)
        printLog(handle, "argv[%d]: %s\n", i, argv[i] != nullptr ? argv[i] : "(null)");
}

void print_env_vars(FILE* handle)
{
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        printLog(handle, "env: %s\n", *entry);
}

void logJobStart(FILE* handle, int argc, char* argv[])
{
    printLog(handle, "Tandle Custom Filter started.\n");
    print_argv(argc, argv, handle);
    print_env_vars(handle);
}

void printHeaderInfo(const cups_page_header2_t& header, FILE* handle)
{
    printLog(handle, "Cups Header Information:\n");
    printLog(handle, "  cupsWidth: %u\n", header.cupsWidth);
    printLog(handle, "  cupsHeight: %u\n", header.cupsHeight);
    printLog(handle, "  HWResolution: [%u, %u]\n", header.HWResolution[0], header.HWResolution[1]);
    printLog(handle, "  cupsImagingBBox: [%u, %u, %u, %u]\n", pointsShown(header.cupsImagingBBox[0]),
             pointsShown(header.cupsImagingBBox[1]), pointsShown(header.cupsImagingBBox[2]),
             pointsShown(header.cupsImagingBBox[3]));
    printLog(handle, "  cupsPageSize: [%u, %u]\n", pointsShown(header.cupsPageSize[0]),
             pointsShown(header.cupsPageSize[1]));
    printLog(handle, "  Margins: [%u, %u]\n", header.Margins[0], header.Margins[1]);
    printLog(handle, "  cupsBytesPerLine: %u\n", header.cupsBytesPerLine);
    printLog(handle, "  cupsColorSpace: %u\n", rawColorSpace(header));
    // The name comes from outside and may fill its field without a terminating zero.
    printLog(handle, "  MediaType: %.*s\n", static_cast<int>(strnlen(header.MediaType, sizeof header.MediaType)),
             header.MediaType);
    printLog(handle, "  NumCopies: %d\n", static_cast<int>(header.NumCopies));
}

void printHexData(FILE* handle, const char* title, const std::uint8_t* bytes, std::size_t count)
{
    char line[kHexLineSize];
    int used = std::snprintf(line, sizeof line, "%s: ", title);
    if (used < 0)
        return;
    std::size_t length = static_cast<std::size_t>(used) < sizeof line ? static_cast<std::size_t>(used)
                                                                        : sizeof line - 1;
    for (std::size_t i = 0; i < count && length + 3 < sizeof line; ++i)
        length += static_cast<std::size_t>(std::snprintf(line + length, sizeof line - length, "%02X ", bytes[i]));
    printLog(handle, "%s\n", line);
}

}  // namespace filter
