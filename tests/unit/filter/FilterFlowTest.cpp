// Whole jobs of both filters, run in-process: the command frame byte for byte and the mended faults.
#include "filter/PrinterCommands.h"
#include "filter/Tessoral.h"
#include "filter/Vellumar.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using filter::FilterVariant;
using filtertest::Bytes;
using filtertest::concat;
using filtertest::patternPage;
using rasterwriter::Pattern;
using rasterwriter::RasterPage;

const Bytes kDarkness1{0x10, 0xFF, 0x10, 0x00, 0x01};
const Bytes kEnable{0x10, 0xFF, 0xF1, 0x03};
const Bytes kDisable{0x10, 0xFF, 0xF1, 0x45};
const Bytes kFeed{0x1B, 0x4A, 0x60};
const Bytes kEndJob{0x1B, 0xBB, 0xBB};
const Bytes kVellumarMedia0{0x1F, 0x80, 0x01, 0x10, 0x0A};
const Bytes kTessoralMedia0{0x1F, 0x80, 0x02, 0x10, 0x0A};
const auto V = FilterVariant::Vellumar, T = FilterVariant::Tessoral;

Bytes image(FilterVariant variant, const RasterPage& page, int printMode)
{
    return filtertest::printedImage(variant, page.data.data(), static_cast<int>(page.header.cupsWidth),
                                    static_cast<int>(page.header.cupsHeight), printMode);
}

// One job and the stream it must produce: `start`, then per image `before` image `after`, then `end`.
struct JobCase {
    FilterVariant variant;
    const char* queue;
    std::vector<std::string> options;
    Bytes raster;
    std::vector<Bytes> images;
    Bytes start, before, after, end;
    const char* logLine = "Custom Filter executed successfully.\n";
};

TEST(FilterJobs, FramesByteForByte)
{
    const auto sample = patternPage(Pattern::Sample, 300, 200), gradient = patternPage(Pattern::Gradient, 64, 40);
    const auto checker = patternPage(Pattern::Checker, 40, 16), small = patternPage(Pattern::Gradient, 50, 20);
    const auto receipt = patternPage(Pattern::Sample, 96, 60), black = patternPage(Pattern::Black, 16, 4);
    const auto t53 = patternPage(Pattern::Checker, filter::kT53Width, filter::kT53Height);
    // Black and white only, so that the 1-bit page has an exact grey twin; the 16-bit page is refused.
    const auto grey = patternPage(Pattern::Checker, 120, 90);
    const auto bits = patternPage(Pattern::Checker, 120, 90, rasterwriter::RasterLayout::Black1);
    auto sixteen = patternPage(Pattern::White, 8, 2);
    sixteen.header.cupsBitsPerColor = sixteen.header.cupsBitsPerPixel = 16;
    sixteen.header.cupsBytesPerLine = 16;
    sixteen.data.assign(32, 0);
    cups_page_header2_t huge = black.header;
    huge.cupsWidth = huge.cupsBytesPerLine = huge.cupsHeight = 1u << 20;
    // A T53 page of another size is resized to the model's page.
    const auto other = patternPage(Pattern::Sample, 200, 120);
    std::vector<std::uint8_t> resized;
    ASSERT_TRUE(filter::resizeImage(other.data.data(), 200, 120, resized, filter::kT53Width, filter::kT53Height));
    const Bytes t53Image = filtertest::printedImage(T, resized.data(), filter::kT53Width, filter::kT53Height, 0);
    EXPECT_EQ(Bytes(t53Image.begin(), t53Image.begin() + 8), (Bytes{0x1D, 0x76, 0x30, 0x00, 0xCD, 0x00, 0xBD, 0x08}));

    const Bytes init = concat({Bytes(filter::kSetKeyCommand.begin(), filter::kSetKeyCommand.end()),
                               Bytes(filter::kSaveParametersCommand.begin(), filter::kSaveParametersCommand.end())});
    using filtertest::rasterStream;
    const JobCase cases[] = {
        {V, "HM_E7s_label", {"PrintMode=1 Darkness=2"}, rasterStream({sample, gradient}),
         {image(V, sample, 1), image(V, gradient, 1)}, kDarkness1, concat({kEnable, kVellumarMedia0}),
         concat({kFeed, kDisable}), {}, "Match found for prefix: 'HM_E7'"},
        {V, "BX940-office", {"MediaType=1"}, rasterStream({checker, checker}),
         {image(V, checker, 0), image(V, checker, 0)}, {}, init, kFeed, {}},
        {V, "KRV38-A1B2", {"Darkness=0"}, rasterStream({}), {}, {}, {}, {}, kEndJob},
        {V, "KRV38", {}, rasterStream({}), {}, kDarkness1, {}, {}, kEndJob, "No user options provided\n"},
        {V, "Plain", {"PrintMode=3"}, rasterStream({bits, sixteen, grey}), {image(V, grey, 3), image(V, grey, 3)}, {},
         concat({kEnable, kVellumarMedia0}), kDisable, {}},
        {T, "ZOR21S-01", {"job-sheets=none"}, rasterStream({small, small}), {image(T, small, 0), image(T, small, 0)},
         concat({Bytes(128, 0x00), kDarkness1, {0x1F, 0x80, 0x02, 0x40, 0x0A}}), kEnable, kDisable, {}},
        {T, "Plain", {"MediaType=1 PrintMode=3"}, rasterStream({receipt, receipt}),
         {image(T, receipt, 3), image(T, receipt, 3)},
         concat({kDarkness1, {0x1F, 0x11, 0x51, 0x1F, 0x80, 0x02, 0x20, 0x0A}}), kEnable,
         concat({{0x1D, 0x0C}, kDisable}), {}},
        {T, "Plain", {}, rasterStream({receipt}), {image(T, receipt, 3)}, concat({kDarkness1, kTessoralMedia0}),
         kEnable, concat({kFeed, kDisable}), {}},
        {T, "Plain", {"PrintMode=0"}, filtertest::rawRaster({{black.header, black.data}, {huge, {}}}),
         {image(T, black, 0)}, concat({kDarkness1, kTessoralMedia0}), kEnable, concat({kFeed, kDisable}), {},
         "Page too large: 1048576x1048576 pixels"},
        {T, "T53", {"PrintMode=0 MediaType=9"}, rasterStream({t53}), {image(T, t53, 0)}, kDarkness1, kEnable,
         kDisable, {}},
        {T, "T53-office", {"PrintMode=0"}, rasterStream({other, other}), {t53Image, t53Image},
         concat({kDarkness1, kTessoralMedia0}), kEnable, concat({kFeed, kDisable}), {},
         "Resized page from 200x120 to 1638x2237 pixels.\n"},
    };
    for (const JobCase& job : cases) {
        SCOPED_TRACE(job.queue);
        filtertest::TestRoot root;
        const auto entry = job.variant == V ? filter::runVellumar : filter::runTessoral;
        const auto run = filtertest::runFilter(entry, job.queue, job.options, job.raster);
        EXPECT_EQ(run.status, 0);
        Bytes expected = job.start;
        for (const Bytes& printed : job.images)
            expected = concat({expected, job.before, printed, job.after});
        EXPECT_EQ(run.output, concat({expected, job.end}));
        const std::string log = root.logText();
        EXPECT_NE(log.find(job.logLine), std::string::npos) << log;
        EXPECT_EQ(log.find("Failed to allocate"), std::string::npos);
        EXPECT_EQ(log.find("Resized page") != std::string::npos, std::string(job.queue) == "T53-office");
        EXPECT_EQ(std::filesystem::exists(root.path() + "/var/log/cups/image_buffer1"), job.variant == T);
    }
}

TEST(FilterJobs, NotARasterEndsWithStatusOne)
{
    filtertest::TestRoot root;
    for (const Bytes& input : {Bytes{'%', '!', 'P', 'S', '\n'}, Bytes{}}) {
        const auto run = filtertest::runFilter(filter::runVellumar, "HM_x", {""}, input);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, kDarkness1);  // the darkness command went out first
        EXPECT_EQ(filtertest::runFilter(filter::runTessoral, "Plain", {""}, input).status, 1);
    }
    EXPECT_NE(root.logText().find("Tandle Custom Filter failed to open raster input stream.\n"), std::string::npos);
    EXPECT_NE(root.logText().find("Tandle Custom Filter failed to open raster.\n"), std::string::npos);
}

TEST(FilterJobs, PrintWhenTheLogCannotBeOpenedAndLogToStandardError)
{
    filtertest::TestRoot root(false);  // no var/log/cups
    const auto page = patternPage(Pattern::Gradient, 30, 10);
    testing::internal::CaptureStderr();
    const auto run = filtertest::runFilter(filter::runVellumar, "Plain", {}, filtertest::rasterStream({page}));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, concat({kEnable, kVellumarMedia0, image(V, page, 3), kDisable}));
    EXPECT_NE(err.find("Failed to open log file: " + root.path() + "/var/log/cups/tandle_log\n"), std::string::npos);
    // "[YYYY-MM-DD HH:MM:SS] " before the message.
    const std::size_t at = err.find("] Custom Filter executed successfully.\n");
    ASSERT_NE(at, std::string::npos);
    ASSERT_GE(at, 20u);
    EXPECT_EQ(err[at - 20], '[');
    EXPECT_EQ(err[at - 15], '-');
}

}  // namespace
