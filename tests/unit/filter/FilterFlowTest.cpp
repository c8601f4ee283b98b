// Whole jobs of both filters, run in-process: the command frame byte for byte and the mended faults.
// The round trip test decodes more jobs of the built filters; these are the ones it cannot reach.
#include "filter/ImageConversion.h"
#include "filter/Tessoral.h"
#include "filter/Vellumar.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using filter::FilterVariant;
using filtertest::Bytes;
using filtertest::concat;
using filtertest::patternPage;
using filtertest::rasterStream;
using rasterwriter::Pattern;

const Bytes kDarkness1{0x10, 0xFF, 0x10, 0x00, 0x01};
const Bytes kEnable{0x10, 0xFF, 0xF1, 0x03};
const Bytes kDisable{0x10, 0xFF, 0xF1, 0x45};
const Bytes kFeed{0x1B, 0x4A, 0x60};
const Bytes kEndJob{0x1B, 0xBB, 0xBB};
const Bytes kVellumarMedia0{0x1F, 0x80, 0x01, 0x10, 0x0A};
const Bytes kTessoralMedia0{0x1F, 0x80, 0x02, 0x10, 0x0A};
const auto V = FilterVariant::Vellumar, T = FilterVariant::Tessoral;

// The print-image command a filter writes for `page`: vellumar scales to at most 384 dots wide,
// tessoral prints the samples at their size. The conversion is vellumar's; the tessoral pages below
// are black, or converted by the threshold, so that it is also tessoral's.
Bytes image(FilterVariant variant, const rasterwriter::RasterPage& page, int printMode)
{
    const int width = static_cast<int>(page.header.cupsWidth), height = static_cast<int>(page.header.cupsHeight);
    const int targetWidth = variant == V ? std::min(width, 384) : width;
    const auto targetHeight = static_cast<int>(static_cast<float>(height) / static_cast<float>(width) *
                                               static_cast<float>(targetWidth));
    filter::ConversionWorkspace workspace;
    return filtertest::capture([&](FILE* out, FILE* log) {
        filter::processImage(out, log, page.data.data(), width, height, targetWidth, targetHeight, printMode,
                             workspace);
    }).out;
}

// Status and output of `entry` run in-process with argv {queue, "1", "user", "title", "1", options...}.
std::pair<int, Bytes> runFilter(FilterVariant variant, const char* queue, std::vector<std::string> args,
                                const Bytes& raster)
{
    args.insert(args.begin(), {queue, "1", "user", "title", "1"});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int fd = filtertest::memoryFd(raster);
    int status = -1;
    const Bytes out = filtertest::capture([&](FILE* out, FILE*) {
        status = (variant == V ? filter::runVellumar : filter::runTessoral)(static_cast<int>(args.size()),
                                                                           argv.data(), fd, out);
    }).out;
    close(fd);
    return {status, out};
}

// One job and the stream it must produce: `start`, then per image `before` image `after`, then `end`.
struct JobCase {
    FilterVariant variant;
    const char* queue;
    std::vector<std::string> options;  // empty: five arguments only
    Bytes raster;
    std::vector<Bytes> images;
    Bytes start, before, after, end;
    const char* logLine;
    int status = 0;
    const char* cupsLine = "";  // on standard error, where CUPS reads it
    const char* ppd = nullptr;  // the queue's PPD text, if any
};

Bytes cutShort(Bytes stream, std::size_t bytes)
{
    stream.resize(stream.size() - bytes);
    return stream;
}

TEST(FilterJobs, FramesByteForByte)
{
    const auto sample = patternPage(Pattern::Sample, 300, 200), gradient = patternPage(Pattern::Gradient, 64, 40);
    const auto black = patternPage(Pattern::Black, 16, 4);
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

    const JobCase cases[] = {
        // The worked example: HM_E7 makes a label printer, Darkness=2 is level 1, mode 1 the classic entry.
        {V, "HM_E7s_label", {"PrintMode=1 Darkness=2"}, rasterStream({sample, gradient}),
         {image(V, sample, 1), image(V, gradient, 1)}, kDarkness1, concat({kEnable, kVellumarMedia0}),
         concat({kFeed, kDisable}), {}, "Match found for prefix: 'HM_E7'"},
        {V, "KRV38-A1B2", {"Darkness=0"}, rasterStream({}), {}, {}, {}, {}, kEndJob, "executed successfully.\n"},
        {V, "KRV38", {}, rasterStream({}), {}, kDarkness1, {}, {}, kEndJob, "No user options provided\n"},
        // A queue not named after its printer takes the model from its PPD; one that is keeps its own.
        {V, "Labels", {"Darkness=0"}, rasterStream({}), {}, {}, {}, {}, kEndJob, "using KRV38 from its PPD", 0, "",
         "*PPD-Adobe: \"4.3\"\n*1284DeviceID: \"MFG:Pell;MDL:KRV38;CMD:ESC/POS;\"\n"},
        {V, "HM_E7-1", {"Darkness=0"}, rasterStream({}), {}, {}, {}, {}, {}, "executed successfully", 0, "",
         "*1284DeviceID: \"MFG:Pell;MDL:HM_E7;CMD:ESC/POS;\"\n"},
        {V, "Plain", {"PrintMode=3"}, rasterStream({bits, sixteen, grey}), {image(V, grey, 3), image(V, grey, 3)}, {},
         concat({kEnable, kVellumarMedia0}), kDisable, {}, "Unsupported raster layout"},
        {T, "Plain", {}, filtertest::rawRaster({{black.header, black.data}, {huge, {}}}), {image(T, black, 3)},
         concat({kDarkness1, kTessoralMedia0}), kEnable, concat({kFeed, kDisable}), {},
         "Page too large: 1048576x1048576 pixels"},
        // An invalid media index sends neither media nor feed; a T53 page of the model's size is not resized.
        {T, "T53", {"PrintMode=0 MediaType=9"}, rasterStream({t53}), {image(T, t53, 0)}, kDarkness1, kEnable,
         kDisable, {}, "executed successfully.\n"},
        // Darkness (and tessoral's once-per-job media) go out before the raster is opened.
        {V, "HM_x", {""}, {}, {}, kDarkness1, {}, {}, {}, "failed to open raster input stream.\n", 1},
        {T, "Plain", {""}, {'%', '!', 'P', 'S', '\n'}, {}, concat({kDarkness1, kTessoralMedia0}), {}, {}, {},
         "failed to open raster.\n", 1},
        // A stream that ends inside a page: failed if nothing was printed, else printed with a warning.
        {V, "Plain", {}, cutShort(rasterStream({gradient}), 100), {}, {}, {}, {}, {}, "after 38 of 40 rows", 1,
         "ERROR: The print data ended inside page 1; nothing was printed\n"},
        {T, "Plain", {}, cutShort(rasterStream({black, gradient}), 100), {image(T, black, 3)},
         concat({kDarkness1, kTessoralMedia0}), kEnable, concat({kFeed, kDisable}), {}, "page skipped", 0,
         "WARNING: The print data ended inside page 2; that page was not printed\n"},
    };
    for (const JobCase& job : cases) {
        SCOPED_TRACE(job.queue);
        filtertest::TestRoot root;
        const std::string ppd = root.path() + "/queue.ppd";
        if (job.ppd != nullptr)
            std::ofstream(ppd) << job.ppd;
        job.ppd != nullptr ? setenv("PPD", ppd.c_str(), 1) : unsetenv("PPD");
        testing::internal::CaptureStderr();
        const auto [status, output] = runFilter(job.variant, job.queue, job.options, job.raster);
        const std::string cupsLines = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, job.status);
        EXPECT_NE(cupsLines.find(job.cupsLine), std::string::npos) << cupsLines;
        Bytes expected = job.start;
        for (const Bytes& printed : job.images)
            expected = concat({expected, job.before, printed, job.after});
        EXPECT_EQ(output, concat({expected, job.end}));
        const std::string log = root.logText();
        EXPECT_NE(log.find(job.logLine), std::string::npos) << log;
        EXPECT_EQ(log.find("Failed to allocate"), std::string::npos);
        EXPECT_EQ(log.find("Resized page"), std::string::npos);
        EXPECT_EQ(std::filesystem::exists(root.path() + "/var/log/cups/image_buffer1"), job.variant == T);
    }
    unsetenv("PPD");
}

TEST(FilterJobs, PrintWhenTheLogCannotBeOpenedAndLogToStandardError)
{
    filtertest::TestRoot root(false);  // no var/log/cups
    const auto page = patternPage(Pattern::Gradient, 30, 10);
    testing::internal::CaptureStderr();
    const auto [status, output] = runFilter(V, "Plain", {}, rasterStream({page}));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, concat({kEnable, kVellumarMedia0, image(V, page, 3), kDisable}));
    EXPECT_NE(err.find("Failed to open log file: " + root.path() + "/var/log/cups/tandle_log\n"), std::string::npos);
    // "[YYYY-MM-DD HH:MM:SS] " before the message.
    const std::size_t at = err.find("] Custom Filter executed successfully.\n");
    ASSERT_NE(at, std::string::npos);
    ASSERT_GE(at, 20u);
    EXPECT_EQ(err[at - 20], '[');
    EXPECT_EQ(err[at - 15], '-');
}

}  // namespace
