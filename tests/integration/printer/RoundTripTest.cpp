// Round trip: pages through each built filter, decoded by the virtual printer, against the
// conversion applied directly to the same samples.
#include "filter/ImageConversion.h"
#include "printer/CommandStreamDecoder.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <ostream>
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

// gtest names a failing case by this rather than by its bytes.
void PrintTo(const RoundTripCase& job, std::ostream* os)
{
    *os << job.name;
}

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
    std::string text(printer::commandName(command.kind));
    char parameters[16];
    if (command.kind == printer::CommandKind::Darkness)
        std::snprintf(parameters, sizeof parameters, " %u", command.level);
    else if (command.kind == printer::CommandKind::MediaType)
        std::snprintf(parameters, sizeof parameters, " %u %02X", command.mediaSelector, command.mediaCode);
    else if (command.kind == printer::CommandKind::ContinuousFeed)
        std::snprintf(parameters, sizeof parameters, " %u", command.feedDots);
    else
        parameters[0] = '\0';
    return text + parameters;
}

std::vector<std::string> expectedFrame(const RoundTripCase& job)
{
    std::vector<std::string> frame = job.jobStart;
    for (std::size_t page = 0; page < job.pages.size(); ++page)
        frame.insert(frame.end(), job.perPage.begin(), job.perPage.end());
    frame.insert(frame.end(), job.jobEnd.begin(), job.jobEnd.end());
    return frame;
}

// The size each filter prints a page at.
PageSize printedSize(const RoundTripCase& job, PageSize page)
{
    if (job.variant == FilterVariant::Tessoral)
        return std::string(job.queue).find("T53") != std::string::npos ? PageSize{kFixedWidth, kFixedHeight} : page;
    const int width = std::min(page.width, 384);
    return {width, static_cast<int>(static_cast<float>(page.height) / static_cast<float>(page.width) *
                                    static_cast<float>(width))};
}

// Scaling and conversion applied directly to the samples the raster carries: size and packed rows.
std::pair<PageSize, Bytes> convertDirectly(const RoundTripCase& job, const RasterPage& page)
{
    const PageSize source{static_cast<int>(page.header.cupsWidth), static_cast<int>(page.header.cupsHeight)};
    const PageSize target = printedSize(job, source);
    std::vector<std::uint8_t> scaled;
    const std::uint8_t* samples = page.data.data();
    if (target.width != source.width || target.height != source.height) {
        EXPECT_TRUE(filter::resizeImage(samples, source.width, source.height, scaled, target.width, target.height));
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

filtertest::Process runJob(const RoundTripCase& job, const Bytes& raster, const std::string& root)
{
    std::vector<std::string> args{"21", "alice", "round trip", "1"};
    args.insert(args.end(), job.options.begin(), job.options.end());
    const char* program = job.variant == FilterVariant::Vellumar ? VELLUMAR_PATH : TESSORAL_PATH;
    return filtertest::runProgram(program, job.queue, args, raster, root);
}

std::vector<RasterPage> pagesOf(const RoundTripCase& job)
{
    std::vector<RasterPage> pages;
    for (const PageSize& size : job.pages)
        pages.push_back(filtertest::patternPage(Pattern::Sample, size.width, size.height));
    return pages;
}

class RoundTrip : public testing::TestWithParam<RoundTripCase> {
protected:
    filtertest::TestRoot root_;
};

TEST_P(RoundTrip, DecodedPagesEqualTheDirectConversion)
{
    const RoundTripCase& job = GetParam();
    const std::vector<RasterPage> pages = pagesOf(job);
    const filtertest::Process run = runJob(job, filtertest::rasterStream(pages), root_.path());
    ASSERT_EQ(run.status, 0) << run.err;

    const auto decoder = printer::CommandStreamDecoder::decodeAll(run.out);
    EXPECT_TRUE(decoder.understoodCompletely());
    std::vector<std::string> frame;
    for (const printer::DecodedCommand& command : decoder.commands())
        frame.push_back(describe(command));
    EXPECT_EQ(frame, expectedFrame(job));

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

INSTANTIATE_TEST_SUITE_P(Filters, RoundTrip, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

TEST(PbRender, DrawsAndListsAFiltersOutput)
{
    filtertest::TestRoot root;
    const RoundTripCase& job = kCases.front();
    const filtertest::Process filtered = runJob(job, filtertest::rasterStream(pagesOf(job)), root.path());
    ASSERT_EQ(filtered.status, 0) << filtered.err;

    const std::string outDir = root.path() + "/pages";
    const filtertest::Process render = filtertest::runProgram(PB_RENDER_PATH, "pb-render", {"-", "-o", outDir},
                                                              filtered.out, root.path());
    ASSERT_EQ(render.status, 0) << render.err;
    const std::string listing(render.out.begin(), render.out.end());
    for (const char* name : {"darkness", "enable", "media-type", "print-image", "label-feed", "disable", "end-job"})
        EXPECT_NE(listing.find(name), std::string::npos) << name << " missing from:\n" << listing;
    for (std::size_t page = 1; page <= job.pages.size(); ++page) {
        const std::string png = outDir + "/page-" + std::to_string(page) + ".png";
        EXPECT_NE(listing.find(png), std::string::npos) << png;
        std::ifstream file(png, std::ios::binary);
        char signature[8] = {};
        file.read(signature, sizeof signature);
        EXPECT_EQ(std::string(signature + 1, 3), "PNG") << png;
    }
}

}  // namespace
