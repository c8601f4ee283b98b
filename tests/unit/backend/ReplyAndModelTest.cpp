// Reply pairs, model lookup and the printer names the backend refuses.
#include "backend/DeviceLine.h"
#include "backend/PrinterChecker.h"
#include "backend/ReplyText.h"

#include <gtest/gtest.h>

namespace {

using Kind = backend::ReplyAction::Kind;
using Actions = std::vector<backend::ReplyAction>;

TEST(ReplyText, ReadsPairsInOrderAndReportsWhatItCannotPair)
{
    const std::vector<std::pair<std::string, Actions>> cases = {
        {"querycallback A querycallback B ", {{Kind::QueryCallback, "A"}, {Kind::QueryCallback, "B"}}},
        {"status finished querycallback A ", {{Kind::Status, "finished"}, {Kind::QueryCallback, "A"}}},
        {"STATUS finished status Finished", {{Kind::UnknownKey, "STATUS"}, {Kind::Status, "Finished"}}},
        // Texts run together: an unknown word, then a key without a value.
        {"status finishedquerycallback B ", {{Kind::Status, "finishedquerycallback"}, {Kind::UnknownKey, "B"}}},
        {"", {{Kind::InvalidFormat, ""}}},
        {"  status  ", {{Kind::InvalidFormat, ""}}},
        {"querycallback A querycallback", {{Kind::QueryCallback, "A"}, {Kind::MissingParameter, "querycallback"}}},
        {"querycallback A status", {{Kind::QueryCallback, "A"}, {Kind::MissingParameter, "status"}}},
    };
    for (const auto& [text, actions] : cases)
        EXPECT_EQ(backend::parseReplyText(text), actions) << '"' << text << '"';
}

TEST(ModelLookup, TakesTheFirstEntryInTableOrder)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"HM_E7S-01", "HM_E7S"}, {"HM_E7-01", "HM_E7"},       {"QMT53H-1", "QMT53"},     {"BX940-2", "BX9"},
        {"x-VQB7H-1", "VQB7H"},  {"vqb7h-1", "Pelltandle"}, {"", "Pelltandle"},
    };
    for (const auto& [name, model] : cases)
        EXPECT_EQ(backend::PrinterChecker::checkForWhitelistedPrinters(name), model) << name;
}

TEST(DeviceLine, NamesThatCouldForgeALineAreUnsafe)
{
    EXPECT_TRUE(backend::isSafePrinterName("KRV38-A1B2"));
    EXPECT_TRUE(backend::isSafePrinterName("打印机-1"));
    for (const char* name : {"", "A\nB", "A\rB", "A\tB", "A\"B", "A\\B", "A\x7f", "A\x01"})
        EXPECT_FALSE(backend::isSafePrinterName(name)) << backend::escapedForLog(name);
    EXPECT_EQ(backend::escapedForLog("A\n\"B\\"), "A\\x0a\\x22B\\x5c");
}

}  // namespace
