// Whole jobs of both filters, run in-process: the command frame byte for byte and the mended faults.
#include "filter/PrinterCommands.h"
#include "filter/Tessoral.h"
#include "filter/Vellumar.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using filter::FilterVariant;
using filtertest::Bytes;
using filtertest::concat;
using filtertest::patternPage;
using rasterwriter::Pattern;
using rasterwriter::RasterLayout;
using rasterwriter::RasterPage;

const Bytes kDarkness1{0x10, 0xFF, 0x10, 0x00, 0x01};
const Bytes kEnable{0x10, 0xFF, 0xF1, 0x03};
const Bytes kDisable{0x10, 0xFF, 0xF1, 0x45};
const Bytes kContinuousFeed{0x1B, 0x4A, 0x60};
const Bytes kLabelFeed{0x1D, 0x0C};
const Bytes kEndJob{0x1B, 0xBB, 0xBB};
const Bytes kVellumarMedia0{0x1F, 0x80, 0x01, 0x10, 0x0A};
const Bytes kTessoralMedia0{0x1F, 0x80, 0x02, 0x10, 0x0A};

Bytes image(FilterVariant variant, const RasterPage& page, int printMode)
{
    return filtertest::printedImage(variant, page.data.data(), static_cast<int>(page.header.cupsWidth),
                                    static_cast<int>(page.header.cupsHeight), printMode);
}

filtertest::FilterEntry entryOf(FilterVariant variant)
{
    return variant == FilterVariant::Vellumar ? filter::runVellumar : filter::runTessoral;
}

// One job and the stream it must produce: `start`, then per page `before` image `after`, then `end`.
struct JobCase {
    FilterVariant variant;
    const char* queue;
    std::vector<std::string> options;
    std::vector<RasterPage> pages;
    int printMode;
    Bytes start, before, after, end;
    const char* logLine = "Custom Filter executed successfully.\n";
};

TEST(FilterJobs, FramesByteForByte)
{
    const auto sample = patternPage(Pattern::Sample, 300, 200), gradient = patternPage(Pattern::Gradient, 64, 40);
    const auto checker = patternPage(Pattern::Checker, 40, 16), small = patternPage(Pattern::Gradient, 50, 20);
    const auto receipt = patternPage(Pattern::Sample, 96, 60);
    const auto t53 = patternPage(Pattern::Checker, filter::kT53Width, filter::kT53Height);
    const Bytes init = concat({Bytes(filter::kSetKeyCommand.begin(), filter::kSetKeyCommand.end()),
                               Bytes(filter::kSaveParametersCommand.begin(), filter::kSaveParametersCommand.end())});
    const auto V = FilterVariant::Vellumar, T = FilterVariant::Tessoral;
    const JobCase cases[] = {
        {V, "HM_E7s_label", {"PrintMode=1 Darkness=2"}, {sample, gradient}, 1, kDarkness1,
         concat({kEnable, kVellumarMedia0}), concat({kContinuousFeed, kDisable}), {}, "Match found for prefix: 'HM_E7'"},
        {V, "BX940-office", {"MediaType=1"}, {checker, checker}, 0, {}, init, kContinuousFeed, {}},
        {V, "KRV38-A1B2", {"Darkness=0"}, {}, 3, {}, {}, {}, kEndJob},
        {V, "KRV38", {}, {}, 3, kDarkness1, {}, {}, kEndJob, "No user options provided\n"},
        {T, "ZOR21S-01", {"job-sheets=none"}, {small, small}, 0,
         concat({Bytes(128, 0x00), kDarkness1, {0x1F, 0x80, 0x02, 0x40, 0x0A}}), kEnable, kDisable, {}},
        {T, "Plain", {"MediaType=1 PrintMode=3"}, {receipt, receipt}, 3,
         concat({kDarkness1, {0x1F, 0x11, 0x51, 0x1F, 0x80, 0x02, 0x20, 0x0A}}), kEnable,
         concat({kLabelFeed, kDisable}), {}},
        {T, "Plain", {}, {receipt}, 3, concat({kDarkness1, kTessoralMedia0}), kEnable,
         concat({kContinuousFeed, kDisable}), {}},
        {T, "T53", {"PrintMode=0 MediaType=9"}, {t53}, 0, kDarkness1, kEnable, kDisable, {}},  // used as it is
    };
    for (const JobCase& job : cases) {
        SCOPED_TRACE(job.queue);
        filtertest::TestRoot root;
        const auto run =
            filtertest::runFilter(entryOf(job.variant), job.queue, job.options, filtertest::rasterStream(job.pages));
        EXPECT_EQ(run.status, 0);
        Bytes expected = job.start;
        for (const RasterPage& page : job.pages)
            expected = concat({expected, job.before, image(job.variant, page, job.printMode), job.after});
        EXPECT_EQ(run.output, concat({expected, job.end}));
        const std::string log = root.logText();
        EXPECT_NE(log.find(job.logLine), std::string::npos) << log;
        EXPECT_EQ(log.find("Resized page"), std::string::npos);
    }
}

TEST(FilterJobs, VellumarTargetSizeIsComputedInSinglePrecision)
{
    filtertest::TestRoot root;
    const Bytes marker{0x1D, 0x76, 0x30, 0x00};
    for (const auto& [width, height, header] :
         {std::tuple{11, 197, filter::createPrintHeader(11, 196)},
          std::tuple{576, 800, Bytes{0x1D, 0x76, 0x30, 0x00, 0x30, 0x00, 0x15, 0x02}}}) {
        const auto run = filtertest::runFilter(filter::runVellumar, "Plain", {},
                                               filtertest::rasterStream({patternPage(Pattern::Sample, width, height)}));
        const auto at = std::search(run.output.begin(), run.output.end(), marker.begin(), marker.end());
        ASSERT_LE(at + 8, run.output.end());
        EXPECT_EQ(Bytes(at, at + 8), header) << width << "x" << height;
    }
}

TEST(FilterJobs, NotARasterEndsWithStatusOne)
{
    filtertest::TestRoot root;
    for (const Bytes& input : {Bytes{'%', '!', 'P', 'S', '\n'}, Bytes{}}) {
        const auto run = filtertest::runFilter(filter::runVellumar, "HM_x", {""}, input);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, kDarkness1);  // the darkness command went out first
        const auto tessoral = filtertest::runFilter(filter::runTessoral, "Plain", {""}, input);
        EXPECT_EQ(tessoral.status, 1);
    }
    EXPECT_NE(root.logText().find("Tandle Custom Filter failed to open raster input stream.\n"), std::string::npos);
    EXPECT_NE(root.logText().find("Tandle Custom Filter failed to open raster.\n"), std::string::npos);
}

TEST(FilterJobs, VellumarSkipsRefusedPagesAndPrintsOtherLayoutsAsGrey)
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
    const Bytes page = concat({kEnable, kVellumarMedia0, image(FilterVariant::Vellumar, grey, 3), kDisable});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, concat({page, page}));
}

TEST(FilterJobs, TessoralFixedSizeModelResizesPagesOfOtherSizes)
{
    filtertest::TestRoot root;
    const auto small = patternPage(Pattern::Sample, 200, 120);
    const auto run = filtertest::runFilter(filter::runTessoral, "T53-office", {"PrintMode=0"},
                                           filtertest::rasterStream({small, small}));
    EXPECT_EQ(run.status, 0);
    std::vector<std::uint8_t> resized;
    ASSERT_TRUE(filter::resizeImage(small.data.data(), 200, 120, resized, filter::kT53Width, filter::kT53Height));
    const Bytes printed =
        filtertest::printedImage(FilterVariant::Tessoral, resized.data(), filter::kT53Width, filter::kT53Height, 0);
    EXPECT_EQ(Bytes(printed.begin(), printed.begin() + 8), (Bytes{0x1D, 0x76, 0x30, 0x00, 0xCD, 0x00, 0xBD, 0x08}));
    const Bytes perPage = concat({kEnable, printed, kContinuousFeed, kDisable});
    EXPECT_EQ(run.output, concat({kDarkness1, kTessoralMedia0, perPage, perPage}));
    EXPECT_NE(root.logText().find("Resized page from 200x120 to 1638x2237 pixels.\n"), std::string::npos);
}

TEST(FilterJobs, TessoralRefusedHeaderIsNotAnAllocationFailure)
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
    EXPECT_EQ(run.output, concat({kDarkness1, kTessoralMedia0, kEnable, image(FilterVariant::Tessoral, page, 0),
                                  kContinuousFeed, kDisable}));
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
    EXPECT_EQ(run.output, concat({kEnable, kVellumarMedia0, image(FilterVariant::Vellumar, page, 3), kDisable}));
    EXPECT_NE(err.find("Failed to open log file: " + root.path() + "/var/log/cups/tandle_log\n"), std::string::npos);
    EXPECT_NE(err.find("] Custom Filter executed successfully.\n"), std::string::npos);
}

}  // namespace
