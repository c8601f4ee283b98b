// The command builders and writers of both filters, byte for byte, and the filter log's formats.
#include "filter/CommandWriters.h"
#include "filter/FilterLog.h"
#include "filter/PrinterCommands.h"
#include "tests/unit/filter/FilterTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using filter::FilterVariant;
using filtertest::Bytes;

// Captures what a writer sends to `out` and to the log.
struct Captured {
    Bytes out;
    std::string log;
};

template <typename Write>
Captured capture(Write write)
{
    char* outBuffer = nullptr;
    char* logBuffer = nullptr;
    std::size_t outSize = 0, logSize = 0;
    FILE* out = open_memstream(&outBuffer, &outSize);
    FILE* log = open_memstream(&logBuffer, &logSize);
    write(out, log);
    std::fclose(out);
    std::fclose(log);
    Captured result{Bytes(outBuffer, outBuffer + outSize), std::string(logBuffer, logSize)};
    std::free(outBuffer);
    std::free(logBuffer);
    return result;
}

Captured mediaType(int index, FilterVariant variant)
{
    return capture([&](FILE* out, FILE* log) { filter::setMediaType(out, log, 3, index, 1, variant); });
}

TEST(PrintHeader, CarriesBytesPerRowAndRowsLittleEndian)
{
    EXPECT_EQ(filter::createPrintHeader(384, 533), (Bytes{0x1D, 0x76, 0x30, 0x00, 0x30, 0x00, 0x15, 0x02}));
    EXPECT_EQ(filter::createPrintHeader(1, 1), (Bytes{0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x01, 0x00}));
    EXPECT_EQ(filter::createPrintHeader(9, 300), (Bytes{0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x2C, 0x01}));
    EXPECT_EQ(filter::createPrintHeader(1638, 2237), (Bytes{0x1D, 0x76, 0x30, 0x00, 0xCD, 0x00, 0xBD, 0x08}));
}

TEST(MediaType, EveryIndexInVellumarIsFourBytesAndALineFeed)
{
    const std::uint8_t codes[] = {0x10, 0x20, 0x30, 0x40, 0x50};
    for (int index = 0; index < 5; ++index) {
        const Captured c = mediaType(index, FilterVariant::Vellumar);
        EXPECT_EQ(c.out, (Bytes{0x1F, 0x80, 0x01, codes[index], 0x0A})) << index;
    }
    const Captured c = mediaType(0, FilterVariant::Vellumar);
    EXPECT_NE(c.log.find("] media type: 0, and dark:1\n"), std::string::npos);
    EXPECT_NE(c.log.find("] Print Media Type: 1F 80 01 10 \n"), std::string::npos);
    EXPECT_NE(c.log.find("] mediaType command sent successfully \x1F\x80\x01\x10\n"), std::string::npos);
}

TEST(MediaType, TessoralSendsExitPaperFirstForLabelIndexes)
{
    EXPECT_EQ(mediaType(0, FilterVariant::Tessoral).out, (Bytes{0x1F, 0x80, 0x02, 0x10, 0x0A}));
    EXPECT_EQ(mediaType(1, FilterVariant::Tessoral).out,
              (Bytes{0x1F, 0x11, 0x51, 0x1F, 0x80, 0x02, 0x20, 0x0A}));
    const Captured two = mediaType(2, FilterVariant::Tessoral);
    EXPECT_EQ(two.out, (Bytes{0x1F, 0x11, 0x51, 0x1F, 0x80, 0x02, 0x30, 0x0A}));
    // The exit-paper entry has no line end of its own; tessoral neither dumps nor logs the setting.
    EXPECT_NE(two.log.find("success ExitPaper command["), std::string::npos);
    EXPECT_EQ(two.log.find("media type:"), std::string::npos);
    EXPECT_EQ(two.log.find("Print Media Type"), std::string::npos);
}

TEST(MediaType, InvalidIndexesWriteNothingInBothFilters)
{
    for (FilterVariant variant : {FilterVariant::Vellumar, FilterVariant::Tessoral})
        for (int index : {5, -2, -1}) {
            const Captured c = mediaType(index, variant);
            EXPECT_TRUE(c.out.empty()) << index;
            EXPECT_NE(c.log.find("] Unknown media type\n"), std::string::npos) << index;
        }
}

TEST(Darkness, LevelByteDiffersByFilter)
{
    auto darkness = [](int setting, FilterVariant variant) {
        return capture([&](FILE* out, FILE* log) { filter::setDarkness(out, log, setting, variant); });
    };
    EXPECT_EQ(darkness(0, FilterVariant::Vellumar).out, (Bytes{0x10, 0xFF, 0x10, 0x00, 0x00}));
    EXPECT_EQ(darkness(0, FilterVariant::Tessoral).out, (Bytes{0x10, 0xFF, 0x10, 0x00, 0xFF}));
    EXPECT_EQ(darkness(2, FilterVariant::Tessoral).out, (Bytes{0x10, 0xFF, 0x10, 0x00, 0x01}));
    EXPECT_EQ(darkness(INT32_MIN, FilterVariant::Tessoral).out, (Bytes{0x10, 0xFF, 0x10, 0x00, 0xFF}));
    EXPECT_NE(darkness(1, FilterVariant::Vellumar).log.find("] Darkness command sent successfully.\n"),
              std::string::npos);
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
    Bytes expected(filter::kSetKeyCommand.begin(), filter::kSetKeyCommand.end());
    expected.insert(expected.end(), filter::kSaveParametersCommand.begin(), filter::kSaveParametersCommand.end());
    ASSERT_EQ(init.out, expected);
    EXPECT_EQ(std::string(init.out.begin() + 2, init.out.begin() + 13), "& V1 setkey");
    EXPECT_EQ(std::string(init.out.begin() + 22, init.out.end() - 2), "& V1 do \"save_param_zone\"");

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
    const std::size_t text = c.log.find("] ") + 2;
    const std::string entry = c.log.substr(text);
    ASSERT_EQ(entry.back(), '\n');
    const std::string line = entry.substr(0, entry.size() - 1);
    EXPECT_LE(line.size(), 1023u);
    EXPECT_GT(line.size(), 1023u - 3);  // as many whole groups as fit
    EXPECT_EQ(line.rfind("Title: AB AB ", 0), 0u);
    EXPECT_EQ((line.size() - 7) % 3, 0u);

    const Captured small = capture([](FILE*, FILE* log) {
        const std::uint8_t four[] = {0x1F, 0x80, 0x01, 0x10};
        filter::printHexData(log, "Print Media Type", four, 4);
    });
    EXPECT_EQ(small.log.substr(small.log.find("] ") + 2), "Print Media Type: 1F 80 01 10 \n");
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
