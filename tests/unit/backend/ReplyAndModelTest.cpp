// Reply pairs, model lookup, device lines and the exit-status table of the backend.
#include "backend/DeviceLine.h"
#include "backend/ExitStatus.h"
#include "backend/PrinterChecker.h"
#include "backend/ReplyText.h"

#include <gtest/gtest.h>

namespace {

using backend::ReplyAction;
using Kind = backend::ReplyAction::Kind;
using Actions = std::vector<ReplyAction>;

TEST(ReplyText, ReadsKeyValuePairsInOrder)
{
    EXPECT_EQ(backend::parseReplyText("querycallback A querycallback B "),
              (Actions{{Kind::QueryCallback, "A"}, {Kind::QueryCallback, "B"}}));
    EXPECT_EQ(backend::parseReplyText("status finished querycallback A "),
              (Actions{{Kind::Status, "finished"}, {Kind::QueryCallback, "A"}}));
    EXPECT_EQ(backend::parseReplyText("STATUS finished status Finished"),
              (Actions{{Kind::UnknownKey, "STATUS"}, {Kind::Status, "Finished"}}));
}

TEST(ReplyText, TextsRunTogetherGiveAnUnknownWordAndAKeyWithoutValue)
{
    EXPECT_EQ(backend::parseReplyText("status finishedquerycallback B "),
              (Actions{{Kind::Status, "finishedquerycallback"}, {Kind::UnknownKey, "B"}}));
}

TEST(ReplyText, ShortOrOddTextsAreReportedNotGuessed)
{
    EXPECT_EQ(backend::parseReplyText(""), (Actions{{Kind::InvalidFormat, ""}}));
    EXPECT_EQ(backend::parseReplyText("  status  "), (Actions{{Kind::InvalidFormat, ""}}));
    EXPECT_EQ(backend::parseReplyText("querycallback A querycallback"),
              (Actions{{Kind::QueryCallback, "A"}, {Kind::MissingParameter, "querycallback"}}));
    EXPECT_EQ(backend::parseReplyText("querycallback A status"),
              (Actions{{Kind::QueryCallback, "A"}, {Kind::MissingParameter, "status"}}));
}

TEST(ModelLookup, TakesTheFirstEntryInTableOrder)
{
    using backend::PrinterChecker;
    EXPECT_EQ(PrinterChecker::checkForWhitelistedPrinters("HM_E7S-01"), "HM_E7S");
    EXPECT_EQ(PrinterChecker::checkForWhitelistedPrinters("HM_E7-01"), "HM_E7");
    EXPECT_EQ(PrinterChecker::checkForWhitelistedPrinters("QMT53H-1"), "QMT53");
    EXPECT_EQ(PrinterChecker::checkForWhitelistedPrinters("BX940-2"), "BX9");
    EXPECT_EQ(PrinterChecker::checkForWhitelistedPrinters("x-VQB7H-1"), "VQB7H");
    EXPECT_EQ(PrinterChecker::checkForWhitelistedPrinters("vqb7h-1"), "Pelltandle");
    EXPECT_EQ(PrinterChecker::checkForWhitelistedPrinters(""), "Pelltandle");
}

TEST(DeviceLine, IsExactlyWhatCupsReads)
{
    EXPECT_EQ(backend::deviceLine("KRV38-A1B2", "KRV38"),
              R"(direct pellbluetooth://KRV38-A1B2 "KRV38" "KRV38-A1B2" PPD=KRV38.ppd)");
}

TEST(DeviceLine, NamesThatCouldForgeALineAreUnsafe)
{
    EXPECT_TRUE(backend::isSafePrinterName("KRV38-A1B2"));
    EXPECT_TRUE(backend::isSafePrinterName("打印机-1"));
    for (const char* name : {"", "A\nB", "A\rB", "A\tB", "A\"B", "A\\B", "A\x7f", "A\x01"})
        EXPECT_FALSE(backend::isSafePrinterName(name)) << backend::escapedForLog(name);
    EXPECT_EQ(backend::escapedForLog("A\n\"B\\"), "A\\x0a\\x22B\\x5c");
}

TEST(ExitStatus, OnlyAJobTheAgentTookWithoutErrorEndsWithSuccess)
{
    using backend::JobEnd;
    EXPECT_EQ(backend::exitStatusFor(JobEnd::Finished), backend::kBackendOk);
    EXPECT_EQ(backend::exitStatusFor(JobEnd::NoStatusAfterHandOver), backend::kBackendOk);
    EXPECT_EQ(backend::exitStatusFor(JobEnd::PrinterError), backend::kBackendFailed);
    EXPECT_EQ(backend::exitStatusFor(JobEnd::NotTakenByAgent), backend::kBackendFailed);
    EXPECT_EQ(backend::kBackendFailed, 1);
}

}  // namespace
