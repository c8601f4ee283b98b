// Command builders and writers byte for byte, model rules, the label-printer test and option parsing.
#include "filter/CommandWriters.h"
#include "filter/FilterLog.h"
#include "filter/JobSettings.h"
#include "filter/PrinterCommands.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using filter::FilterVariant;
using filtertest::Bytes;
using filtertest::capture;
using filtertest::Captured;
const auto V = FilterVariant::Vellumar, T = FilterVariant::Tessoral;

TEST(MediaType, BytesPerIndexAndFilterAndNothingForInvalidIndexes)
{
    const struct {
        int index;
        FilterVariant variant;
        Bytes out;
    } cases[] = {
        {0, V, {0x1F, 0x80, 0x01, 0x10, 0x0A}}, {1, V, {0x1F, 0x80, 0x01, 0x20, 0x0A}},
        {2, V, {0x1F, 0x80, 0x01, 0x30, 0x0A}}, {3, V, {0x1F, 0x80, 0x01, 0x40, 0x0A}},
        {4, V, {0x1F, 0x80, 0x01, 0x50, 0x0A}}, {0, T, {0x1F, 0x80, 0x02, 0x10, 0x0A}},
        // tessoral sends exit-paper first for the label indexes
        {1, T, {0x1F, 0x11, 0x51, 0x1F, 0x80, 0x02, 0x20, 0x0A}},
        {2, T, {0x1F, 0x11, 0x51, 0x1F, 0x80, 0x02, 0x30, 0x0A}},
        {5, V, {}}, {-1, V, {}}, {-2, T, {}}, {5, T, {}},
    };
    for (const auto& c : cases) {
        const Captured written =
            capture([&](FILE* out, FILE* log) { filter::setMediaType(out, log, 3, c.index, 1, c.variant); });
        EXPECT_EQ(written.out, c.out) << c.index;
        EXPECT_EQ(written.log.find("] Unknown media type\n") != std::string::npos, c.out.empty()) << c.index;
    }
    const Captured v = capture([](FILE* out, FILE* log) { filter::setMediaType(out, log, 3, 0, 1, V); });
    EXPECT_NE(v.log.find("] media type: 0, and dark:1\n"), std::string::npos);
    EXPECT_NE(v.log.find("] Print Media Type: 1F 80 01 10 \n"), std::string::npos);
    // The exit-paper entry has no line end of its own; tessoral neither dumps nor logs the setting.
    const Captured t = capture([](FILE* out, FILE* log) { filter::setMediaType(out, log, 3, 2, 1, T); });
    EXPECT_NE(t.log.find("success ExitPaper command["), std::string::npos);
    EXPECT_EQ(t.log.find("Print Media Type"), std::string::npos);
}

TEST(Darkness, LevelByteDiffersByFilter)
{
    const struct {
        int setting;
        FilterVariant variant;
        std::uint8_t level;
    } cases[] = {{0, V, 0x00}, {0, T, 0xFF}, {2, T, 0x01}, {INT32_MIN, T, 0xFF}};
    for (const auto& c : cases)
        EXPECT_EQ(capture([&](FILE* out, FILE* log) { filter::setDarkness(out, log, c.setting, c.variant); }).out,
                  (Bytes{0x10, 0xFF, 0x10, 0x00, c.level}))
            << c.setting;
}

TEST(ExitPaper, VellumarEndsTheProcessWhenTheWriteFallsShort)
{
    FILE* readOnly = std::fopen("/dev/null", "r");
    EXPECT_EXIT(filter::sendHexExitPaperCommand(readOnly, nullptr, V), testing::ExitedWithCode(1),
                "Error writing command");
    testing::internal::CaptureStderr();  // tessoral does not look at the result
    filter::sendHexExitPaperCommand(readOnly, nullptr, T);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("success ExitPaper command"), std::string::npos);
    std::fclose(readOnly);
}

// The initialisation commands are checked byte for byte by the decoder in the round trip test.
TEST(EndJob, OnlyForTheCaseSensitiveKrv38AndVqn4Names)
{
    auto endJob = [](const char* name) {
        return capture([&](FILE* out, FILE* log) { filter::handlePrinterSpecificCommands(out, name, 1, log); });
    };
    EXPECT_EQ(endJob("KRV38-A1").out, (Bytes{0x1B, 0xBB, 0xBB}));
    EXPECT_EQ(endJob("VQN4 label").out, (Bytes{0x1B, 0xBB, 0xBB}));
    const Captured other = endJob("krv38");
    EXPECT_TRUE(other.out.empty());
    EXPECT_NE(other.log.find("Skipping end job command (0x1b 0xbb 0xbb) as printer name is not KRV38.\n"),
              std::string::npos);
}

TEST(FilterLog, HexDumpStopsAt1023Characters)
{
    const Bytes bytes(400, 0xAB);
    const std::string log =
        capture([&](FILE*, FILE* log) { filter::printHexData(log, "Title", bytes.data(), bytes.size()); }).log;
    const std::string line = log.substr(log.find("] ") + 2);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.size(), 7u + 3 * 338 + 1);  // "Title: ", the 338 whole groups that fit in 1023, "\n"
    EXPECT_EQ(line.rfind("Title: AB AB ", 0), 0u);
}

TEST(LabelPrinterPrefix, CaseInsensitiveSubstringFirstMatchWins)
{
    filtertest::TestRoot root;
    const std::string logPath = root.path() + "/var/log/cups/tandle_log";
    auto labelPrinter = [&](const char* name) {
        return filter::checkPrinterPrefix(name, filter::labelPrinterPrefixes.data(),
                                          filter::numLabelPrinterPrefixes, logPath.c_str());
    };
    EXPECT_EQ(labelPrinter("HM_E7s_label"), 1);
    EXPECT_EQ(root.logText().find("Comparing with prefix: 'HM_E7s'"), std::string::npos);  // ended at HM_E7
    EXPECT_EQ(labelPrinter("my-krv38"), 1);    // anywhere in the name, any case
    EXPECT_EQ(labelPrinter("VQN4 label"), 1);  // through "N4"
    EXPECT_EQ(labelPrinter("Plain-Receipt"), 0);
    EXPECT_EQ(labelPrinter(nullptr), 0);
    const char* withGaps[] = {nullptr, "abc", nullptr};
    EXPECT_EQ(filter::checkPrinterPrefix("xxABCxx", withGaps, 3, logPath.c_str()), 1);

    // Its own handle reaches the file before the job's buffered entries.
    FILE* jobLog = filter::openLogFile(logPath.c_str());
    filter::printLog(jobLog, "Tandle Custom Filter started.\n");
    labelPrinter("KRV38");
    filter::closeLogFile(jobLog);
    const std::string log = root.logText();
    EXPECT_NE(log.find("Match found for prefix: 'HM_E7'\n"), std::string::npos);
    EXPECT_NE(log.find("No matching prefix found for printer: 'Plain-Receipt'\n"), std::string::npos);
    EXPECT_LT(log.find("Checking printer name: 'KRV38'"), log.find("Tandle Custom Filter started."));
}

TEST(ModelRules, FirstMatchingRowWinsInBothFilters)
{
    const auto v = filter::vellumarModelSettings, t = filter::tessoralModelSettings;
    const int none = filter::kNotSent;
    const struct {
        filter::JobSettings (*rules)(std::string_view);
        const char* queue;
        int mediaType, darkness, printMode, initFamily;
    } cases[] = {
        {v, "HM_E58", 0, 1, 3, 0},     {v, "hm_e58", 0, none, 3, 0},    {v, "ZOR21-E58", 3, 3, 3, 0},
        {v, "ZOR22N", 3, 3, 3, 0},     {v, "KRV38-A1B2", 1, 1, 3, 0},   {v, "VQN4 label", 0, 1, 3, 0},
        {v, "Plain", 0, none, 3, 0},   {v, "BX940-1", 0, none, 0, 1},   {t, "ZOR22N", 3, 3, 3, 0},
        {t, "ZOR21S-01", 3, 2, 0, 0},  {t, "V24-E58", 0, 2, 3, 0},      {t, "Plain", 0, 2, 3, 0},
    };
    for (const auto& c : cases) {
        const filter::JobSettings s = c.rules(c.queue);
        EXPECT_EQ(std::tuple(s.mediaType, s.darkness, s.printMode, s.initFamily),
                  std::tuple(c.mediaType, c.darkness, c.printMode, c.initFamily))
            << c.queue << (c.rules == v ? " vellumar" : " tessoral");
    }
}

struct Parsed {
    int printMode = 3, mediaType = 0, darkness = -1;
    std::string log;
};

Parsed parse(const char* options, FilterVariant variant = V)
{
    Parsed p;
    p.log = capture([&](FILE*, FILE* log) {
        filter::parse_and_get_user_selected_options(options, &p.printMode, &p.mediaType, &p.darkness, log, variant);
    }).log;
    return p;
}

TEST(Options, WordsAtSpacesLaterWinsOthersIgnored)
{
    const Parsed p = parse("  PrintMode=1   job-sheets=none Darkness=2 MediaType=4 MediaType=2 printmode=7 ");
    EXPECT_EQ(std::tuple(p.printMode, p.mediaType, p.darkness), std::tuple(1, 2, 1));  // darkness counts from 1
    EXPECT_NE(p.log.find("] Parsed user options:\n"), std::string::npos);
    EXPECT_NE(p.log.find("]   MediaType: 2\n"), std::string::npos);
    EXPECT_NE(p.log.find("]   Darkness: 1\n"), std::string::npos);
    EXPECT_EQ(p.log.find("Parsed user options "), std::string::npos);
    // tessoral logs the word after each one, ending with "(null)".
    const std::string t = parse("PrintMode=1 Darkness=4", T).log;
    const std::size_t first = t.find("] Parsed user options Darkness=4:\n");
    const std::size_t last = t.find("] Parsed user options (null):\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_LT(first, last);
    EXPECT_LT(last, t.find("] Parsed user options:\n"));
    EXPECT_EQ(parse("", T).log.find("(null)"), std::string::npos);
}

TEST(Options, NumbersAreReadAsAtoiDoes)
{
    EXPECT_EQ(parse("PrintMode=12abc").printMode, 12);
    EXPECT_EQ(parse("PrintMode=abc").printMode, 0);
    EXPECT_EQ(parse("MediaType=-2").mediaType, -2);
    EXPECT_EQ(parse("MediaType=+3").mediaType, 3);
    EXPECT_EQ(parse("Darkness=0").darkness, -1);  // no darkness command
    EXPECT_EQ(parse("Darkness=0", T).darkness, 0);
    EXPECT_EQ(parse("Darkness=-2147483648").darkness, 2147483647);
    EXPECT_EQ(filter::parseOptionNumber("99999999999999999999"), -1);  // saturated, low 32 bits
}

}  // namespace
