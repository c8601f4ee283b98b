// Round trip: pages through each built filter, decoded by the virtual printer, against the
// conversion applied directly to the same samples.
#include "filter/ImageConversion.h"
#include "printer/CommandStreamDecoder.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using filter::FilterVariant;
using filtertest::Bytes;
using rasterwriter::Pattern;
using rasterwriter::RasterPage;

struct PageSize {
    int width;
    int height;
};

// One job: a queue, its options, the pages, and the frame the decoder must report. In the
// frame, "print-image" stands for the page's image; `perPage` repeats for every page.
struct RoundTripCase {
    const char* name;
    FilterVariant variant;
    const char* queue;
    std::vector<std::string> options;  // empty: five arguments only
    int printMode;                     // the conversion the job should come out with
    std::vector<PageSize> pages;
    std::vector<std::string> jobStart;
    std::vector<std::string> perPage;
    std::vector<std::string> jobEnd;
};

constexpr int kFixedWidth = 1638;  // tessoral's "T53" page
constexpr int kFixedHeight = 2237;

const std::vector<RoundTripCase> kCases{
    {"VellumarLabelQueueScaled", FilterVariant::Vellumar, "KRV38-A1B2", {"PrintMode=3"}, 3,
     {{576, 800}, {11, 197}, {200, 90}}, {"darkness 1"},
     {"enable", "media-type 1 20", "line-feed", "print-image", "label-feed", "disable"}, {"end-job"}},
    {"VellumarClassicEntry", FilterVariant::Vellumar, "HM_E7s_label", {"PrintMode=1 Darkness=2"}, 1,
     {{384, 120}, {576, 800}}, {"darkness 1"},
     {"enable", "media-type 1 10", "line-feed", "print-image", "continuous-feed 96", "disable"}, {}},
    {"VellumarInitFamily", FilterVariant::Vellumar, "BX940-Shop", {}, 0, {{576, 800}, {100, 40}}, {},
     {"set-key", "save-parameters", "print-image", "continuous-feed 96"}, {}},
    // Seven arguments: the raster still comes from standard input, not from the file named.
    {"VellumarSevenArguments", FilterVariant::Vellumar, "Plain", {"Darkness=4", "/nonexistent"}, 3, {{200, 90}},
     {"darkness 3"}, {"enable", "media-type 1 10", "line-feed", "print-image", "disable"}, {}},
    {"VellumarThreshold", FilterVariant::Vellumar, "E58-Desk", {"PrintMode=0 MediaType=4"}, 0,
     {{640, 300}, {37, 50}}, {"darkness 1"}, {"enable", "media-type 1 50", "line-feed", "print-image", "disable"},
     {}},
    {"TessoralThreeRow", FilterVariant::Tessoral, "Plain-Receipt", {"PrintMode=3"}, 3, {{300, 220}, {37, 50}},
     {"darkness 1", "media-type 2 10", "line-feed"}, {"enable", "print-image", "continuous-feed 96", "disable"}, {}},
    {"TessoralThreshold", FilterVariant::Tessoral, "ZOR21S-01", {"Darkness=3"}, 0, {{576, 400}, {9, 3}},
     {"blank-preamble", "darkness 2", "media-type 2 40", "line-feed"}, {"enable", "print-image", "disable"}, {}},
    {"TessoralFixedPage", FilterVariant::Tessoral, "T53-Office", {"MediaType=1"}, 3,
     {{600, 820}, {kFixedWidth, kFixedHeight}}, {"darkness 1", "exit-paper", "media-type 2 20", "line-feed"},
     {"enable", "print-image", "label-feed", "disable"}, {}},
};

// A decoded item as the frame above names it.
std::string describe(const printer::DecodedCommand& command)
{
    char parameters[16] = "";
    if (command.kind == printer::CommandKind::Darkness || command.kind == printer::CommandKind::ContinuousFeed)
        std::snprintf(parameters, sizeof parameters, " %u", command.level + command.feedDots);  // the other is 0
    else if (command.kind == printer::CommandKind::MediaType)
        std::snprintf(parameters, sizeof parameters, " %u %02X", command.mediaSelector, command.mediaCode);
    return std::string(printer::commandName(command.kind)) + parameters;
}

// Scaling and conversion applied directly to the samples the raster carries: size and packed rows.
std::pair<PageSize, Bytes> convertDirectly(const RoundTripCase& job, const RasterPage& page)
{
    const int width = static_cast<int>(page.header.cupsWidth), height = static_cast<int>(page.header.cupsHeight);
    PageSize target{width, height};
    if (job.variant == FilterVariant::Tessoral && std::string(job.queue).find("T53") != std::string::npos)
        target = {kFixedWidth, kFixedHeight};
    const float narrow = static_cast<float>(std::min(width, 384));  // vellumar: single precision, as it computes
    if (job.variant == FilterVariant::Vellumar)
        target = {static_cast<int>(narrow),
                  static_cast<int>(static_cast<float>(height) / static_cast<float>(width) * narrow)};
    std::vector<std::uint8_t> scaled;
    const std::uint8_t* samples = page.data.data();
    if (target.width != width || target.height != height) {
        EXPECT_TRUE(filter::resizeImage(samples, width, height, scaled, target.width, target.height));
        samples = scaled.data();
    }
    filter::ConversionWorkspace workspace;
    std::size_t length = 0;
    filtertest::capture([&](FILE*, FILE* log) {
        length = filter::processRasterDataWithDithering(log, samples, target.width, target.height, job.printMode,
                                                        job.variant, workspace);
    });
    return {target, Bytes(workspace.packed.begin(), workspace.packed.begin() + static_cast<std::ptrdiff_t>(length))};
}

// Runs the job's filter on its pages, with `root` as the filter's root.
std::pair<std::vector<RasterPage>, filtertest::Process> runJob(const RoundTripCase& job, const std::string& root)
{
    std::vector<RasterPage> pages;
    for (const PageSize& size : job.pages)
        pages.push_back(filtertest::patternPage(Pattern::Sample, size.width, size.height));
    std::vector<std::string> args{"21", "alice", "round trip", "1"};
    args.insert(args.end(), job.options.begin(), job.options.end());
    const char* program = job.variant == FilterVariant::Vellumar ? VELLUMAR_PATH : TESSORAL_PATH;
    return {pages, filtertest::runProgram(program, job.queue, args, filtertest::rasterStream(pages), root)};
}

TEST(RoundTrip, DecodedPagesEqualTheDirectConversion)
{
    for (const RoundTripCase& job : kCases) {
        SCOPED_TRACE(job.name);
        filtertest::TestRoot root;
        const auto [pages, run] = runJob(job, root.path());
        ASSERT_EQ(run.status, 0) << run.err;
        const auto decoder = printer::CommandStreamDecoder::decodeAll(run.out);
        EXPECT_TRUE(decoder.understoodCompletely());
        std::vector<std::string> frame, expected = job.jobStart;
        for (const printer::DecodedCommand& command : decoder.commands())
            frame.push_back(describe(command));
        for (std::size_t page = 0; page < job.pages.size(); ++page)
            expected.insert(expected.end(), job.perPage.begin(), job.perPage.end());
        expected.insert(expected.end(), job.jobEnd.begin(), job.jobEnd.end());
        EXPECT_EQ(frame, expected);

        ASSERT_EQ(decoder.pages().size(), pages.size());
        for (std::size_t i = 0; i < pages.size(); ++i) {
            SCOPED_TRACE("page " + std::to_string(i + 1));
            const auto [size, packed] = convertDirectly(job, pages[i]);
            const printer::DecodedPage& printed = decoder.pages()[i];
            EXPECT_FALSE(printed.truncated);
            EXPECT_EQ(printed.bytesPerRow, filter::packedRowBytes(size.width));
            EXPECT_EQ(printed.announcedRows, static_cast<std::uint32_t>(size.height));
            EXPECT_TRUE(printed.packed == packed) << "packed rows differ";
        }
    }
}

TEST(PbRender, DrawsAndListsAFiltersOutput)
{
    filtertest::TestRoot root;
    const auto [pages, filtered] = runJob(kCases.front(), root.path());
    ASSERT_EQ(filtered.status, 0) << filtered.err;
    const std::string outDir = root.path() + "/pages";
    const auto render = filtertest::runProgram(PB_RENDER_PATH, "pb-render", {"-", "-o", outDir}, filtered.out,
                                               root.path());
    ASSERT_EQ(render.status, 0) << render.err;
    const std::string listing(render.out.begin(), render.out.end());
    for (const char* name : {"darkness", "enable", "media-type", "print-image", "label-feed", "disable", "end-job"})
        EXPECT_NE(listing.find(name), std::string::npos) << name << " missing from:\n" << listing;
    for (std::size_t page = 1; page <= pages.size(); ++page) {
        const std::string png = outDir + "/page-" + std::to_string(page) + ".png";
        EXPECT_NE(listing.find(png), std::string::npos) << png;
        std::ifstream file(png, std::ios::binary);
        char signature[4] = {};
        file.read(signature, sizeof signature);
        EXPECT_EQ(std::string(signature + 1, 3), "PNG") << png;
    }
}

}  // namespace
