// Model rules, the label-printer test and option parsing of both filters.
#include "filter/FilterLog.h"
#include "filter/JobSettings.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using filter::FilterVariant;
using filter::JobSettings;

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

TEST(Options, TessoralLogsTheWordAfterEachOne)
{
    const Parsed p = parse("PrintMode=1 Darkness=4", FilterVariant::Tessoral);
    EXPECT_EQ(p.darkness, 4);
    const std::size_t first = p.log.find("] Parsed user options Darkness=4:\n");
    const std::size_t last = p.log.find("] Parsed user options (null):\n");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    EXPECT_LT(first, last);
    EXPECT_LT(last, p.log.find("] Parsed user options:\n"));
    EXPECT_EQ(parse("", FilterVariant::Tessoral).log.find("(null)"), std::string::npos);
}

}  // namespace
