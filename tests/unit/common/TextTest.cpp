// Word splitting, trimming, UTF-8 checks, hex text, channel messages and the log-line shape.
#include "common/Channel.h"
#include "common/HexText.h"
#include "common/LogLine.h"
#include "common/Words.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>

namespace {

using Words = std::vector<std::string>;

TEST(SplitWords, SplitsOnSpacesOnlyAndDropsEmptyWords)
{
    EXPECT_EQ(pb::splitWords("querycallback A querycallback B "), (Words{"querycallback", "A", "querycallback", "B"}));
    EXPECT_EQ(pb::splitWords("   status    finished  "), (Words{"status", "finished"}));
    EXPECT_EQ(pb::splitWords("a\tb\nc\rd e"), (Words{"a\tb\nc\rd", "e"}));
    EXPECT_EQ(pb::splitWords("status finishedquerycallback B "), (Words{"status", "finishedquerycallback", "B"}));
    EXPECT_TRUE(pb::splitWords("").empty());
    EXPECT_TRUE(pb::splitWords("    ").empty());
}

TEST(TrimWhitespace, RemovesWhiteSpaceAndLineEndsFromBothEndsOnly)
{
    EXPECT_EQ(pb::trimWhitespace(" \t KRV38-A1\r\n"), "KRV38-A1");
    EXPECT_EQ(pb::trimWhitespace("a b"), "a b");
    EXPECT_EQ(pb::trimWhitespace(" \n\v\f "), "");
}

TEST(Utf8, AcceptsWellFormedTextAndRefusesBrokenSequences)
{
    EXPECT_TRUE(pb::isValidUtf8("plain"));
    EXPECT_TRUE(pb::isValidUtf8("无法打开 FIFO"));
    EXPECT_TRUE(pb::isValidUtf8("\xF0\x9F\x96\xA8"));
    EXPECT_FALSE(pb::isValidUtf8("\xC3"));              // cut short
    EXPECT_FALSE(pb::isValidUtf8("\xC0\xAF"));          // overlong
    EXPECT_FALSE(pb::isValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(pb::isValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(pb::isValidUtf8("\xFF"));
}

TEST(Utf8, PrefixNeverSplitsACharacter)
{
    EXPECT_EQ(pb::utf8Prefix("无法打开", 2), "无法");
    EXPECT_EQ(pb::utf8Prefix("abc", 10), "abc");
    EXPECT_EQ(pb::utf8Prefix("abc", 0), "");
}

TEST(HexText, EncodesEachByteAsTwoLowerCaseDigits)
{
    const std::vector<std::uint8_t> job = {0x1B, 0x40, 0x0A};
    EXPECT_EQ(pb::encodeHex(job), "1b400a");
    EXPECT_EQ(pb::encodeHex({}), "");
    const std::vector<std::uint8_t> extremes = {0x00, 0xFF, 0xA5};
    EXPECT_EQ(pb::encodeHex(extremes), "00ffa5");
}

TEST(HexText, DecodesBothCasesAndRefusesMalformedText)
{
    EXPECT_EQ(pb::decodeHex("1B400a"), (std::vector<std::uint8_t>{0x1B, 0x40, 0x0A}));
    EXPECT_EQ(pb::decodeHex(""), std::vector<std::uint8_t>{});
    EXPECT_FALSE(pb::decodeHex("1b4"));
    EXPECT_FALSE(pb::decodeHex("1g"));
    EXPECT_FALSE(pb::decodeHex(" 1"));
}

TEST(HexText, RandomJobsSurviveTheRoundTrip)
{
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::uint8_t> bytes(random() % 3000);
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(random());
        std::string text = "keep:";
        pb::appendHex(bytes, text);
        ASSERT_EQ(text.size(), 5 + 2 * bytes.size());
        EXPECT_EQ(pb::decodeHex(std::string_view(text).substr(5)), bytes);
    }
}

TEST(ChannelMessages, AnnouncementsEndWithASpaceAndOthersDoNot)
{
    EXPECT_EQ(pb::doPrintMessage("pellbluetooth://KRV38-A1B2"), "doPrint pellbluetooth://KRV38-A1B2");
    EXPECT_EQ(pb::addPrintMessage("KRV38-A1B2"), "addPrint KRV38-A1B2 ");
    EXPECT_EQ(pb::queryCallbackMessage("KRV38-A1B2"), "querycallback KRV38-A1B2 ");
    EXPECT_EQ(pb::deviceUri("KRV38"), "pellbluetooth://KRV38");
}

TEST(ChannelMessages, StatusWordsIgnoreCase)
{
    EXPECT_EQ(pb::parseStatusWord("finished"), pb::StatusWord::Finished);
    EXPECT_EQ(pb::parseStatusWord("FINISHED"), pb::StatusWord::Finished);
    EXPECT_EQ(pb::parseStatusWord("Busy"), pb::StatusWord::Busy);
    EXPECT_EQ(pb::parseStatusWord("paper_out"), pb::StatusWord::PaperOut);
    EXPECT_EQ(pb::parseStatusWord("error"), pb::StatusWord::Error);
    EXPECT_EQ(pb::parseStatusWord("start"), pb::StatusWord::Start);
    EXPECT_EQ(pb::parseStatusWord("finishedquerycallback"), pb::StatusWord::Other);
    EXPECT_EQ(pb::parseStatusWord("received_busy"), pb::StatusWord::Other);
}

TEST(LogLine, HasTheThreadTagTimeAndMessageOnOneLine)
{
    const auto now = std::chrono::system_clock::now();
    const std::regex shape(R"((main|not-main):\[[^\]\n]+\] (.*)\n)");
    std::smatch parts;
    const std::string mainLine = pb::formatLogLine(true, now, "bluetooth start");
    ASSERT_TRUE(std::regex_match(mainLine, parts, shape)) << mainLine;
    EXPECT_EQ(parts[1], "main");
    EXPECT_EQ(parts[2], "bluetooth start");
    const std::string otherLine = pb::formatLogLine(false, now, "readLoop");
    ASSERT_TRUE(std::regex_match(otherLine, parts, shape)) << otherLine;
    EXPECT_EQ(parts[1], "not-main");
    EXPECT_NE(mainLine.find(pb::formatLogTime(now)), std::string::npos);
}

TEST(LogLine, OutsideTextCannotStartALineOfItsOwn)
{
    const std::string line = pb::formatLogLine(true, std::chrono::system_clock::now(),
                                               "handleReceivedMessage: querycallback A\r\ndirect x\x7f");
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_NE(line.find("A\\x0d\\x0adirect x\\x7f"), std::string::npos);
    EXPECT_EQ(pb::escapeControlCharacters("无法 ok"), "无法 ok");
}

}  // namespace
