// Whole jobs of both filters, run in-process: the command frame byte for byte and the mended faults.
#include "filter/CommandWriters.h"
#include "filter/ImageConversion.h"
#include "filter/PrinterCommands.h"
#include "filter/Tessoral.h"
#include "filter/Vellumar.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using filtertest::Bytes;
using filtertest::concat;
using filtertest::patternPage;
using rasterwriter::Pattern;
using rasterwriter::RasterLayout;

const Bytes kEnable{0x10, 0xFF, 0xF1, 0x03};
const Bytes kDisable{0x10, 0xFF, 0xF1, 0x45};
const Bytes kContinuousFeed{0x1B, 0x4A, 0x60};
const Bytes kLabelFeed{0x1D, 0x0C};
const Bytes kEndJob{0x1B, 0xBB, 0xBB};

Bytes vellumarImage(const rasterwriter::RasterPage& page, int printMode)
{
    return filtertest::vellumarImage(page.data.data(), static_cast<int>(page.header.cupsWidth),
                                     static_cast<int>(page.header.cupsHeight), printMode);
}

Bytes tessoralImage(const rasterwriter::RasterPage& page, int printMode)
{
    return filtertest::tessoralImage(page.data.data(), static_cast<int>(page.header.cupsWidth),
                                     static_cast<int>(page.header.cupsHeight), printMode);
}

// The 8 header bytes of the first print-image command in `stream`.
Bytes firstPrintHeader(const Bytes& stream)
{
    const Bytes marker{0x1D, 0x76, 0x30, 0x00};
    const auto at = std::search(stream.begin(), stream.end(), marker.begin(), marker.end());
    return at + 8 <= stream.end() ? Bytes(at, at + 8) : Bytes{};
}

TEST(VellumarJob, WorkedExampleLabelQueueByteForByte)
{
    filtertest::TestRoot root;
    const auto first = patternPage(Pattern::Sample, 300, 200);
    const auto second = patternPage(Pattern::Gradient, 64, 40);
    const auto run = filtertest::runFilter(filter::runVellumar, "HM_E7s_label", {"PrintMode=1 Darkness=2"},
                                           filtertest::rasterStream({first, second}));
    EXPECT_EQ(run.status, 0);
    const Bytes media{0x1F, 0x80, 0x01, 0x10, 0x0A};
    EXPECT_EQ(run.output, concat({{0x10, 0xFF, 0x10, 0x00, 0x01},
                                  kEnable, media, vellumarImage(first, 1), kContinuousFeed, kDisable,
                                  kEnable, media, vellumarImage(second, 1), kContinuousFeed, kDisable}));
    const std::string log = root.logText();
    EXPECT_NE(log.find("Match found for prefix: 'HM_E7'"), std::string::npos);
    EXPECT_NE(log.find("Skipping end job command"), std::string::npos);
    EXPECT_NE(log.find("Custom Filter executed successfully.\n"), std::string::npos);
}

TEST(VellumarJob, TargetSizeIsComputedInSinglePrecision)
{
    filtertest::TestRoot root;
    const auto narrow = patternPage(Pattern::Gradient, 11, 197);
    const auto wide = patternPage(Pattern::Sample, 576, 800);
    const auto one = filtertest::runFilter(filter::runVellumar, "Plain", {}, filtertest::rasterStream({narrow}));
    EXPECT_EQ(firstPrintHeader(one.output), filter::createPrintHeader(11, 196));
    const auto two = filtertest::runFilter(filter::runVellumar, "Plain", {}, filtertest::rasterStream({wide}));
    EXPECT_EQ(firstPrintHeader(two.output), (Bytes{0x1D, 0x76, 0x30, 0x00, 0x30, 0x00, 0x15, 0x02}));
}

TEST(VellumarJob, InitFamilyFrameAndEmptyJobs)
{
    filtertest::TestRoot root;
    const auto page = patternPage(Pattern::Checker, 40, 16);
    const auto run = filtertest::runFilter(filter::runVellumar, "BX940-office", {"MediaType=1"},
                                           filtertest::rasterStream({page, page}));
    Bytes init(filter::kSetKeyCommand.begin(), filter::kSetKeyCommand.end());
    init.insert(init.end(), filter::kSaveParametersCommand.begin(), filter::kSaveParametersCommand.end());
    const Bytes perPage = concat({init, vellumarImage(page, 0), kContinuousFeed});
    EXPECT_EQ(run.output, concat({perPage, perPage}));

    // No pages: the darkness command, and the end-job command for KRV38 names.
    const auto empty = filtertest::runFilter(filter::runVellumar, "KRV38-A1B2", {"Darkness=0"},
                                             filtertest::rasterStream({}));
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.output, kEndJob);
    const auto fewArguments = filtertest::runFilter(filter::runVellumar, "KRV38", {}, filtertest::rasterStream({}));
    EXPECT_EQ(fewArguments.output, concat({{0x10, 0xFF, 0x10, 0x00, 0x01}, kEndJob}));
    EXPECT_NE(root.logText().find("No user options provided\n"), std::string::npos);
}

TEST(VellumarJob, NotARasterEndsWithStatusOne)
{
    filtertest::TestRoot root;
    const Bytes text{'%', '!', 'P', 'S', '\n'};
    const auto run = filtertest::runFilter(filter::runVellumar, "HM_x", {""}, text);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, (Bytes{0x10, 0xFF, 0x10, 0x00, 0x01}));  // the darkness command went out first
    EXPECT_NE(root.logText().find("Tandle Custom Filter failed to open raster input stream.\n"), std::string::npos);
    const auto tessoral = filtertest::runFilter(filter::runTessoral, "Plain", {""}, text);
    EXPECT_EQ(tessoral.status, 1);
    EXPECT_NE(root.logText().find("Tandle Custom Filter failed to open raster.\n"), std::string::npos);
}

TEST(VellumarJob, RefusedAndOtherLayoutPagesInTheMiddleOfAJob)
{
    filtertest::TestRoot root;
    // Black and white only, so that the 1-bit page has an exact grey twin.
    const auto grey = patternPage(Pattern::Checker, 120, 90);
    const auto bits = patternPage(Pattern::Checker, 120, 90, RasterLayout::Black1);
    auto sixteen = patternPage(Pattern::White, 8, 2);
    sixteen.header.cupsBitsPerColor = sixteen.header.cupsBitsPerPixel = 16;
    sixteen.header.cupsBytesPerLine = 16;
    sixteen.data.assign(32, 0);
    const auto run = filtertest::runFilter(filter::runVellumar, "Plain", {"PrintMode=3"},
                                           filtertest::rasterStream({bits, sixteen, grey}));
    const Bytes page = concat({kEnable, {0x1F, 0x80, 0x01, 0x10, 0x0A}, vellumarImage(grey, 3), kDisable});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, concat({page, page}));  // the 1-bit page prints as its grey twin
}

TEST(TessoralJob, PreambleDarknessAndMediaOnceThenPagesWithoutFeed)
{
    filtertest::TestRoot root;
    const auto page = patternPage(Pattern::Gradient, 50, 20);
    const auto run = filtertest::runFilter(filter::runTessoral, "ZOR21S-01", {"job-sheets=none"},
                                           filtertest::rasterStream({page, page}));
    EXPECT_EQ(run.status, 0);
    const Bytes perPage = concat({kEnable, tessoralImage(page, 0), kDisable});
    EXPECT_EQ(run.output, concat({Bytes(128, 0x00), {0x10, 0xFF, 0x10, 0x00, 0x01}, {0x1F, 0x80, 0x02, 0x40, 0x0A},
                                  perPage, perPage}));
}

TEST(TessoralJob, LabelMediaAndPlainQueues)
{
    filtertest::TestRoot root;
    const auto page = patternPage(Pattern::Sample, 96, 60);
    const auto label = filtertest::runFilter(filter::runTessoral, "Plain", {"MediaType=1 PrintMode=3"},
                                             filtertest::rasterStream({page, page}));
    const Bytes labelPage = concat({kEnable, tessoralImage(page, 3), kLabelFeed, kDisable});
    EXPECT_EQ(label.output, concat({{0x10, 0xFF, 0x10, 0x00, 0x01}, {0x1F, 0x11, 0x51, 0x1F, 0x80, 0x02, 0x20, 0x0A},
                                    labelPage, labelPage}));
    const auto plain = filtertest::runFilter(filter::runTessoral, "Plain", {}, filtertest::rasterStream({page}));
    EXPECT_EQ(plain.output, concat({{0x10, 0xFF, 0x10, 0x00, 0x01}, {0x1F, 0x80, 0x02, 0x10, 0x0A}, kEnable,
                                    tessoralImage(page, 3), kContinuousFeed, kDisable}));
}

TEST(TessoralJob, FixedSizeModelResizesPagesOfOtherSizes)
{
    filtertest::TestRoot root;
    const auto small = patternPage(Pattern::Sample, 200, 120);
    const auto run = filtertest::runFilter(filter::runTessoral, "T53-office", {"PrintMode=0"},
                                           filtertest::rasterStream({small, small}));
    EXPECT_EQ(run.status, 0);
    std::vector<std::uint8_t> resized;
    ASSERT_TRUE(filter::resizeImage(small.data.data(), 200, 120, resized, filter::kT53Width, filter::kT53Height));
    const Bytes image = filtertest::tessoralImage(resized.data(), filter::kT53Width, filter::kT53Height, 0);
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 8), (Bytes{0x1D, 0x76, 0x30, 0x00, 0xCD, 0x00, 0xBD, 0x08}));
    const Bytes perPage = concat({kEnable, image, kContinuousFeed, kDisable});
    EXPECT_EQ(run.output, concat({{0x10, 0xFF, 0x10, 0x00, 0x01}, {0x1F, 0x80, 0x02, 0x10, 0x0A}, perPage, perPage}));
    const std::string log = root.logText();
    EXPECT_NE(log.find("Modified header dimensions: 1638x2237 pixels (581x793 points)\n"), std::string::npos);
    EXPECT_NE(log.find("Page malloc memory["), std::string::npos);
    EXPECT_NE(log.find("Resized page from 200x120 to 1638x2237 pixels.\n"), std::string::npos);
}

TEST(TessoralJob, FixedSizePageIsUsedAsItIs)
{
    filtertest::TestRoot root;
    const auto exact = patternPage(Pattern::Checker, filter::kT53Width, filter::kT53Height);
    const auto run = filtertest::runFilter(filter::runTessoral, "T53", {"PrintMode=0 MediaType=9"},
                                           filtertest::rasterStream({exact}));
    EXPECT_EQ(run.output, concat({{0x10, 0xFF, 0x10, 0x00, 0x01}, kEnable, tessoralImage(exact, 0), kDisable}));
    EXPECT_EQ(root.logText().find("Resized page"), std::string::npos);
}

TEST(TessoralJob, ARefusedHeaderIsNotAnAllocationFailure)
{
    filtertest::TestRoot root;
    const auto page = patternPage(Pattern::Black, 16, 4);
    cups_page_header2_t huge = page.header;
    huge.cupsWidth = huge.cupsBytesPerLine = 1u << 20;
    huge.cupsHeight = 1u << 20;
    filtertest::RawRaster raw;
    raw.page(page.header, page.data).page(huge, {});
    const auto run = filtertest::runFilter(filter::runTessoral, "Plain", {"PrintMode=0"}, raw.bytes());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, concat({{0x10, 0xFF, 0x10, 0x00, 0x01}, {0x1F, 0x80, 0x02, 0x10, 0x0A}, kEnable,
                                  tessoralImage(page, 0), kContinuousFeed, kDisable}));
    const std::string log = root.logText();
    EXPECT_NE(log.find("Page too large: 1048576x1048576 pixels"), std::string::npos);
    EXPECT_EQ(log.find("Failed to allocate memory for buffer."), std::string::npos);
}

TEST(FilterJobs, PrintWhenTheLogCannotBeOpenedAndLogToStandardError)
{
    filtertest::TestRoot root(false);  // no var/log/cups
    const auto page = patternPage(Pattern::Gradient, 30, 10);
    testing::internal::CaptureStderr();
    const auto run = filtertest::runFilter(filter::runVellumar, "Plain", {}, filtertest::rasterStream({page}));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, concat({kEnable, {0x1F, 0x80, 0x01, 0x10, 0x0A}, vellumarImage(page, 3), kDisable}));
    EXPECT_NE(err.find("Failed to open log file: " + root.path() + "/var/log/cups/tandle_log\n"), std::string::npos);
    EXPECT_NE(err.find("] Custom Filter executed successfully.\n"), std::string::npos);
}

}  // namespace
