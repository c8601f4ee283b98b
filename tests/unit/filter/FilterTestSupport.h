// Helpers of the filter tests: a temporary root, raster streams in memory, captured output.
#pragma once

#include "tools/raster-writer/RasterWriter.h"

#include <cups/raster.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace filtertest {

using Bytes = std::vector<std::uint8_t>;

// A temporary PELLBLUETOOTH_ROOT with var/log/cups (unless `withLogFolder` is false), removed
// with everything in it when the object goes away.
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
    std::string previousRoot_;
    bool hadRoot_ = false;
};

// A file descriptor (memfd) holding `bytes`, positioned at the start; the caller closes it.
int memoryFd(const Bytes& bytes);

// The raster stream libcups writes for `pages`.
Bytes rasterStream(const std::vector<rasterwriter::RasterPage>& pages);
// A grey page of `pattern` in `layout`.
rasterwriter::RasterPage patternPage(rasterwriter::Pattern pattern, int width, int height,
                                     rasterwriter::RasterLayout layout = rasterwriter::RasterLayout::Grey8);

// An uncompressed (version 3) raster stream assembled by hand: any header, any data, so that
// tests can feed what libcups's writer would refuse to write.
class RawRaster {
public:
    RawRaster();
    RawRaster& page(const cups_page_header2_t& header, const Bytes& data);
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

// Output and status of one filter run.
struct FilterRun {
    int status = -1;
    Bytes output;
};

using FilterEntry = int (*)(int, char*[], int, FILE*);

// Runs `entry` with argv {queue, "1", "user", "title", "1", options...} (`options` empty:
// five arguments only) on `raster`, capturing what it writes.
FilterRun runFilter(FilterEntry entry, const std::string& queue, const std::vector<std::string>& options,
                    const Bytes& raster);

// What processImage writes for a page (the expected print-image command of vellumar).
Bytes vellumarImage(const std::uint8_t* samples, int width, int height, int printMode);
// tessoral's print-image command for samples already at the printed size.
Bytes tessoralImage(const std::uint8_t* samples, int width, int height, int printMode);

Bytes concat(std::initializer_list<Bytes> parts);

}  // namespace filtertest
