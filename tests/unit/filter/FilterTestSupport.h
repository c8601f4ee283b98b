// Helpers of the filter tests: a temporary root, raster streams in memory, captured output, child runs.
#pragma once

#include "tools/raster-writer/RasterWriter.h"

#include <cups/raster.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace filtertest {

using Bytes = std::vector<std::uint8_t>;

// A temporary PELLBLUETOOTH_ROOT with var/log/cups (unless `withLogFolder` is false), removed
// with everything in it, and the variable unset, when the object goes away.
class TestRoot {
public:
    explicit TestRoot(bool withLogFolder = true);
    ~TestRoot();
    TestRoot(const TestRoot&) = delete;
    TestRoot& operator=(const TestRoot&) = delete;
    const std::string& path() const { return path_; }
    std::string logText() const;  // the filter log's content

private:
    std::string path_;
};

// What `write` sent to its two memory streams (the output, then the log).
struct Captured {
    Bytes out;
    std::string log;
};
Captured capture(const std::function<void(FILE* out, FILE* log)>& write);

// A file descriptor (memfd) holding `bytes`, positioned at the start; the caller closes it.
int memoryFd(const Bytes& bytes);

// The raster stream libcups writes for `pages`.
Bytes rasterStream(const std::vector<rasterwriter::RasterPage>& pages);
rasterwriter::RasterPage patternPage(rasterwriter::Pattern pattern, int width, int height,
                                     rasterwriter::RasterLayout layout = rasterwriter::RasterLayout::Grey8);
// An uncompressed (version 3) raster stream assembled by hand: any header, any data, so that
// tests can feed what libcups's writer would refuse to write.
Bytes rawRaster(const std::vector<std::pair<cups_page_header2_t, Bytes>>& pages);

Bytes concat(std::initializer_list<Bytes> parts);

struct Process {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    Bytes out;
    std::string err;
};
// Runs `program` as CUPS runs a filter: argv[0] = `name`, `args` after it, `stdinBytes` on standard
// input and only PELLBLUETOOTH_ROOT=`root` and PATH in the environment; waits for it to end.
Process runProgram(const char* program, const std::string& name, std::vector<std::string> args,
                   const Bytes& stdinBytes, const std::string& root);

}  // namespace filtertest
