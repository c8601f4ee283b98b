// The command builders and writers of both filters, byte for byte, and the filter log's formats.
#include "filter/CommandWriters.h"
#include "filter/FilterLog.h"
#include "filter/PrinterCommands.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using filter::FilterVariant;
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
        {1, T, {0x1F, 0x11, 0x51, 0x1F, 0x80, 0x02, 0x20, 0x0A}}, {2, T, {0x1F, 0x11, 0x51, 0x1F, 0x80, 0x02, 0x30, 0x0A}},
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
    const Captured c = capture([&](FILE*, FILE* log) { filter::printHexData(log, "Title", bytes.data(), bytes.size()); });
    const std::string entry = c.log.substr(c.log.find("] ") + 2);
    ASSERT_EQ(entry.back(), '\n');
    const std::string line = entry.substr(0, entry.size() - 1);
    EXPECT_LE(line.size(), 1023u);
    EXPECT_GT(line.size(), 1023u - 3);  // as many whole groups as fit
    EXPECT_EQ(line.rfind("Title: AB AB ", 0), 0u);
    EXPECT_EQ((line.size() - 7) % 3, 0u);
}

TEST(FilterLog, EntriesGoToStandardErrorWhenTheFileCannotBeOpened)
{
    testing::internal::CaptureStderr();
    FILE* log = filter::openLogFile("/nonexistent-folder/tandle_log");
    filter::printLog(log, "Enable command sent successfully.\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, nullptr);
    EXPECT_NE(err.find("Failed to open log file: /nonexistent-folder/tandle_log\n"), std::string::npos);
    // "[YYYY-MM-DD HH:MM:SS] " before the message.
    const std::size_t at = err.find("] Enable command sent successfully.\n");
    ASSERT_NE(at, std::string::npos);
    ASSERT_GE(at, 20u);
    EXPECT_EQ(err[at - 20], '[');
    EXPECT_EQ(err[at - 15], '-');
}

}  // namespace
