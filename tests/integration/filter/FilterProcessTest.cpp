// The built vellumar and tessoral programs, started as CUPS starts a filter, on multi-page rasters.
#include "filter/PrinterCommands.h"
#include "tests/integration/filter/FilterProcess.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

using filtertest::Bytes;
using filtertest::concat;
using filtertest::patternPage;
using filtertest::Process;
using filtertest::runProgram;
using rasterwriter::Pattern;
using rasterwriter::RasterLayout;

Bytes vellumarImage(const rasterwriter::RasterPage& grey, int printMode)
{
    return filtertest::vellumarImage(grey.data.data(), static_cast<int>(grey.header.cupsWidth),
                                     static_cast<int>(grey.header.cupsHeight), printMode);
}

Bytes tessoralImage(const rasterwriter::RasterPage& grey, int printMode)
{
    return filtertest::tessoralImage(grey.data.data(), static_cast<int>(grey.header.cupsWidth),
                                     static_cast<int>(grey.header.cupsHeight), printMode);
}

const Bytes kEnable = filter::createEnableHeader();
const Bytes kDisable = filter::createDisableHeader();

class FilterProcess : public testing::Test {
protected:
    filtertest::TestRoot root_;
    // Pages of several sizes and layouts; `grey` holds each one's 8-bit grey twin.
    std::vector<rasterwriter::RasterPage> pages_{patternPage(Pattern::Sample, 576, 800),
                                                patternPage(Pattern::Gradient, 200, 90, RasterLayout::Rgb24),
                                                patternPage(Pattern::Checker, 37, 50, RasterLayout::Grey1)};
    std::vector<rasterwriter::RasterPage> grey_{patternPage(Pattern::Sample, 576, 800),
                                               patternPage(Pattern::Gradient, 200, 90),
                                               patternPage(Pattern::Checker, 37, 50)};
    Bytes raster_ = filtertest::rasterStream(pages_);
};

TEST_F(FilterProcess, VellumarLabelQueueWithSixArguments)
{
    const Process run = runProgram(VELLUMAR_PATH, "KRV38-A1B2", {"7", "alice", "labels", "1", "PrintMode=3"}, raster_,
                                   root_.path());
    ASSERT_EQ(run.status, 0) << run.err;
    Bytes expected{0x10, 0xFF, 0x10, 0x00, 0x01};
    for (const auto& page : grey_)
        expected = concat({expected, kEnable, {0x1F, 0x80, 0x01, 0x20, 0x0A}, vellumarImage(page, 3), {0x1D, 0x0C},
                           kDisable});
    EXPECT_EQ(run.out, concat({expected, {0x1B, 0xBB, 0xBB}}));
    EXPECT_TRUE(run.err.empty()) << run.err;
    const std::string log = root_.logText();
    EXPECT_NE(log.find("] argv[0]: KRV38-A1B2\n"), std::string::npos);
    EXPECT_NE(log.find("] env: PELLBLUETOOTH_ROOT=" + root_.path() + "\n"), std::string::npos);
}

TEST_F(FilterProcess, VellumarReadsStandardInputWhateverTheArgumentCount)
{
    // Seven arguments: the file name is not read; five: the options are not read.
    const Process seven = runProgram(VELLUMAR_PATH, "Plain", {"7", "alice", "t", "1", "Darkness=4", "/nonexistent"},
                                     raster_, root_.path());
    const Process five = runProgram(VELLUMAR_PATH, "Plain", {"7", "alice", "t", "1"}, raster_, root_.path());
    ASSERT_EQ(seven.status, 0);
    ASSERT_EQ(five.status, 0);
    Bytes pagesOut;
    for (const auto& page : grey_)
        pagesOut = concat({pagesOut, kEnable, {0x1F, 0x80, 0x01, 0x10, 0x0A}, vellumarImage(page, 3), kDisable});
    EXPECT_EQ(seven.out, concat({{0x10, 0xFF, 0x10, 0x00, 0x03}, pagesOut}));
    EXPECT_EQ(five.out, pagesOut);
}

TEST_F(FilterProcess, TessoralPlainQueue)
{
    const Process run = runProgram(TESSORAL_PATH, "Plain-Receipt", {"7", "alice", "t", "1", "PrintMode=1"}, raster_,
                                   root_.path());
    ASSERT_EQ(run.status, 0) << run.err;
    Bytes expected{0x10, 0xFF, 0x10, 0x00, 0x01, 0x1F, 0x80, 0x02, 0x10, 0x0A};
    for (const auto& page : grey_)
        expected = concat({expected, kEnable, tessoralImage(page, 1), {0x1B, 0x4A, 0x60}, kDisable});
    EXPECT_EQ(run.out, expected);
    struct stat info;
    EXPECT_EQ(stat((root_.path() + "/var/log/cups/image_buffer1").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
}

TEST_F(FilterProcess, NotARasterEndsWithStatusOne)
{
    const Bytes text{'H', 'e', 'l', 'l', 'o', '\n'};
    const Process vellumar = runProgram(VELLUMAR_PATH, "Plain", {"1", "u", "t", "1", ""}, text, root_.path());
    const Process tessoral = runProgram(TESSORAL_PATH, "Plain", {"1", "u", "t", "1", ""}, text, root_.path());
    const Process empty = runProgram(VELLUMAR_PATH, "Plain", {"1", "u", "t", "1", ""}, {}, root_.path());
    EXPECT_EQ(vellumar.status, 1);
    EXPECT_TRUE(vellumar.out.empty());
    EXPECT_EQ(tessoral.status, 1);
    EXPECT_EQ(tessoral.out, (Bytes{0x10, 0xFF, 0x10, 0x00, 0x01, 0x1F, 0x80, 0x02, 0x10, 0x0A}));
    EXPECT_EQ(empty.status, 1);
    const std::string log = root_.logText();
    EXPECT_NE(log.find("] Tandle Custom Filter failed to open raster input stream.\n"), std::string::npos);
    EXPECT_NE(log.find("] Tandle Custom Filter failed to open raster.\n"), std::string::npos);
}

}  // namespace
