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
using filter::JobSettings;
using filtertest::Bytes;
using filtertest::capture;
using filtertest::Captured;

TEST(PrintHeader, CarriesBytesPerRowAndRowsLittleEndian)
{
    EXPECT_EQ(filter::createPrintHeader(384, 533), (Bytes{0x1D, 0x76, 0x30, 0x00, 0x30, 0x00, 0x15, 0x02}));
    EXPECT_EQ(filter::createPrintHeader(1, 1), (Bytes{0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x01, 0x00}));
    EXPECT_EQ(filter::createPrintHeader(9, 300), (Bytes{0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x2C, 0x01}));
}

TEST(MediaType, BytesPerIndexAndFilterAndNothingForInvalidIndexes)
{
    const auto V = FilterVariant::Vellumar, T = FilterVariant::Tessoral;
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
    } cases[] = {{0, FilterVariant::Vellumar, 0x00}, {0, FilterVariant::Tessoral, 0xFF},
                 {2, FilterVariant::Tessoral, 0x01}, {INT32_MIN, FilterVariant::Tessoral, 0xFF}};
    for (const auto& c : cases)
        EXPECT_EQ(capture([&](FILE* out, FILE* log) { filter::setDarkness(out, log, c.setting, c.variant); }).out,
                  (Bytes{0x10, 0xFF, 0x10, 0x00, c.level}))
            << c.setting;
}

TEST(ExitPaper, VellumarEndsTheProcessWhenTheWriteFallsShort)
{
    FILE* readOnly = std::fopen("/dev/null", "r");
    EXPECT_EXIT(filter::sendHexExitPaperCommand(readOnly, nullptr, FilterVariant::Vellumar),
                testing::ExitedWithCode(1), "Error writing command");
    // tessoral does not look at the result.
    testing::internal::CaptureStderr();
    filter::sendHexExitPaperCommand(readOnly, nullptr, FilterVariant::Tessoral);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("success ExitPaper command"), std::string::npos);
    std::fclose(readOnly);
}

TEST(FrameCommands, InitialisationAndEndJob)
{
    const Captured init = capture([](FILE* out, FILE* log) { filter::sendInitializationCommands(out, log); });
    const std::string text(init.out.begin(), init.out.end());
    EXPECT_EQ(text, std::string("\x1B\x1C& V1 setkey\r\n\x01\xCE\x00\x01\x00", 20) +
                        "\x1B\x1C& V1 do \"save_param_zone\"\r\n");

    auto endJob = [](const char* name) {
        return capture([&](FILE* out, FILE* log) { filter::handlePrinterSpecificCommands(out, name, 1, log); });
    };
    EXPECT_EQ(endJob("KRV38-A1").out, (Bytes{0x1B, 0xBB, 0xBB}));
    EXPECT_EQ(endJob("VQN4 label").out, (Bytes{0x1B, 0xBB, 0xBB}));
    const Captured other = endJob("krv38");  // case-sensitive
    EXPECT_TRUE(other.out.empty());
    EXPECT_NE(other.log.find("Skipping end job command (0x1b 0xbb 0xbb) as printer name is not KRV38.\n"),
              std::string::npos);
}

TEST(FilterLog, HexDumpStopsAt1023Characters)
{
    const Bytes bytes(400, 0xAB);
    const Captured c =
        capture([&](FILE*, FILE* log) { filter::printHexData(log, "Title", bytes.data(), bytes.size()); });
    const std::string entry = c.log.substr(c.log.find("] ") + 2);
    ASSERT_EQ(entry.back(), '\n');
    const std::string line = entry.substr(0, entry.size() - 1);
    EXPECT_LE(line.size(), 1023u);
    EXPECT_GT(line.size(), 1023u - 3);  // as many whole groups as fit
    EXPECT_EQ(line.rfind("Title: AB AB ", 0), 0u);
    EXPECT_EQ((line.size() - 7) % 3, 0u);
}

struct Parsed {
    int printMode = 3, mediaType = 0, darkness = -1;
    std::string log;
};

Parsed parse(const char* options, FilterVariant variant)
{
    Parsed p;
    p.log = filtertest::capture([&](FILE*, FILE* log) {
        filter::parse_and_get_user_selected_options(options, &p.printMode, &p.mediaType, &p.darkness, log, variant);
    }).log;
    return p;
}

int labelPrinter(const char* name, const std::string& logPath)
{
    return filter::checkPrinterPrefix(name, filter::labelPrinterPrefixes.data(), filter::numLabelPrinterPrefixes,
                                      logPath.c_str());
}

TEST(LabelPrinterPrefix, CaseInsensitiveSubstringFirstMatchWins)
{
    filtertest::TestRoot root;
    const std::string logPath = root.path() + "/var/log/cups/tandle_log";
    EXPECT_EQ(labelPrinter("HM_E7s_label", logPath), 1);
    const std::string first = root.logText();
    EXPECT_NE(first.find("Match found for prefix: 'HM_E7'\n"), std::string::npos);
    EXPECT_EQ(first.find("Comparing with prefix: 'HM_E7s'"), std::string::npos);  // the search ended before it
    EXPECT_EQ(labelPrinter("my-krv38", logPath), 1);   // anywhere in the name, any case
    EXPECT_EQ(labelPrinter("VQN4 label", logPath), 1);  // through "N4"
    EXPECT_EQ(labelPrinter("Plain-Receipt", logPath), 0);
    EXPECT_EQ(labelPrinter(nullptr, logPath), 0);
    EXPECT_NE(root.logText().find("No matching prefix found for printer: 'Plain-Receipt'\n"), std::string::npos);
    const char* withGaps[] = {nullptr, "abc", nullptr};
    EXPECT_EQ(filter::checkPrinterPrefix("xxABCxx", withGaps, 3, logPath.c_str()), 1);

    // Its own handle reaches the file before the job's buffered entries.
    FILE* jobLog = filter::openLogFile(logPath.c_str());
    filter::printLog(jobLog, "Tandle Custom Filter started.\n");
    labelPrinter("KRV38", logPath);
    filter::closeLogFile(jobLog);
    const std::string log = root.logText();
    EXPECT_LT(log.find("Checking printer name: 'KRV38'"), log.find("Tandle Custom Filter started."));
}

TEST(ModelRules, RowsInOrderForBothFilters)
{
    const auto V = filter::vellumarModelSettings, T = filter::tessoralModelSettings;
    const struct {
        JobSettings (*rules)(std::string_view);
        const char* queue;
        int JobSettings::*field;
        int value;
    } cases[] = {
        {V, "HM_E58", &JobSettings::mediaType, 0},  // "E58" before "HM_"
        {V, "HM_E58", &JobSettings::darkness, 1},
        {V, "hm_e58", &JobSettings::darkness, filter::kNotSent},  // case-sensitive
        {V, "ZOR22N", &JobSettings::mediaType, 3},      {V, "ZOR22N", &JobSettings::darkness, 3},
        {V, "KRV38-A1B2", &JobSettings::mediaType, 1},  {V, "VQN4 label", &JobSettings::darkness, 1},
        {V, "VQN4 label", &JobSettings::mediaType, 0},  {V, "Plain", &JobSettings::darkness, filter::kNotSent},
        {V, "Plain", &JobSettings::printMode, 3},       {V, "Plain", &JobSettings::initFamily, 0},
        {V, "BX940-1", &JobSettings::initFamily, 1},    {V, "BX940-1", &JobSettings::printMode, 0},
        {T, "ZOR22N", &JobSettings::mediaType, 3},      {T, "ZOR22N", &JobSettings::darkness, 3},
        {T, "ZOR22N", &JobSettings::printMode, 3},      {T, "ZOR21S-01", &JobSettings::mediaType, 3},
        {T, "ZOR21S-01", &JobSettings::darkness, 2},    {T, "ZOR21S-01", &JobSettings::printMode, 0},
        {T, "V24-E58", &JobSettings::mediaType, 0},  // row 2 before row 3
        {T, "V24-E58", &JobSettings::printMode, 3},     {T, "Plain", &JobSettings::mediaType, 0},
        {T, "Plain", &JobSettings::darkness, 2},        {T, "Plain", &JobSettings::printMode, 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.rules(c.queue).*c.field, c.value) << c.queue << (c.rules == V ? " vellumar" : " tessoral");
}

TEST(Options, WordsAtSpacesLaterWinsOthersIgnored)
{
    const Parsed p = parse("  PrintMode=1   job-sheets=none Darkness=2 MediaType=4 MediaType=2 printmode=7 ",
                           FilterVariant::Vellumar);
    EXPECT_EQ(p.printMode, 1);
    EXPECT_EQ(p.mediaType, 2);
    EXPECT_EQ(p.darkness, 1);  // vellumar's users count from 1
    EXPECT_NE(p.log.find("] Parsed user options:\n"), std::string::npos);
    EXPECT_NE(p.log.find("]   MediaType: 2\n"), std::string::npos);
    EXPECT_NE(p.log.find("]   Darkness: 1\n"), std::string::npos);
    EXPECT_EQ(p.log.find("Parsed user options "), std::string::npos);
    // tessoral logs the word after each one, ending with "(null)".
    const std::string t = parse("PrintMode=1 Darkness=4", FilterVariant::Tessoral).log;
    const std::size_t first = t.find("] Parsed user options Darkness=4:\n");
    const std::size_t last = t.find("] Parsed user options (null):\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_LT(first, last);
    EXPECT_LT(last, t.find("] Parsed user options:\n"));
    EXPECT_EQ(parse("", FilterVariant::Tessoral).log.find("(null)"), std::string::npos);
}

TEST(Options, NumbersAreReadAsAtoiDoes)
{
    EXPECT_EQ(parse("PrintMode=12abc", FilterVariant::Vellumar).printMode, 12);
    EXPECT_EQ(parse("PrintMode=abc", FilterVariant::Vellumar).printMode, 0);
    EXPECT_EQ(parse("MediaType=-2", FilterVariant::Vellumar).mediaType, -2);
    EXPECT_EQ(parse("MediaType=+3", FilterVariant::Vellumar).mediaType, 3);
    EXPECT_EQ(parse("Darkness=0", FilterVariant::Vellumar).darkness, -1);  // no darkness command
    EXPECT_EQ(parse("Darkness=0", FilterVariant::Tessoral).darkness, 0);
    EXPECT_EQ(parse("Darkness=-2147483648", FilterVariant::Vellumar).darkness, 2147483647);
    EXPECT_EQ(filter::parseOptionNumber("99999999999999999999"), -1);  // saturated, low 32 bits
}

}  // namespace
