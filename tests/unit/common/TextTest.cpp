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
    const std::vector<std::pair<std::string, Words>> cases = {
        {"querycallback A querycallback B ", {"querycallback", "A", "querycallback", "B"}},
        {"   status    finished  ", {"status", "finished"}},
        {"a\tb\nc\rd e", {"a\tb\nc\rd", "e"}},
        {"status finishedquerycallback B ", {"status", "finishedquerycallback", "B"}},
        {"", {}},
        {"    ", {}},
    };
    for (const auto& [text, words] : cases)
        EXPECT_EQ(pb::splitWords(text), words) << '"' << text << '"';
    EXPECT_EQ(pb::trimWhitespace(" \t KRV38-A1\r\n"), "KRV38-A1");
    EXPECT_EQ(pb::trimWhitespace("a b"), "a b");
    EXPECT_EQ(pb::trimWhitespace(" \n\v\f "), "");
}

TEST(Utf8, AcceptsWellFormedTextRefusesBrokenSequencesAndNeverSplitsACharacter)
{
    for (const char* good : {"plain", "无法打开 FIFO", "\xF0\x9F\x96\xA8"})
        EXPECT_TRUE(pb::isValidUtf8(good)) << good;
    // Cut short, overlong, surrogate, past U+10FFFF, never valid.
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"})
        EXPECT_FALSE(pb::isValidUtf8(bad)) << pb::escapeControlCharacters(bad);
    EXPECT_EQ(pb::utf8Prefix("无法打开", 2), "无法");
    EXPECT_EQ(pb::utf8Prefix("abc", 10), "abc");
    EXPECT_EQ(pb::utf8Prefix("abc", 0), "");
}

TEST(HexText, EncodesLowerCaseDecodesBothCasesAndRefusesMalformedText)
{
    EXPECT_EQ(pb::encodeHex(std::vector<std::uint8_t>{0x1B, 0x40, 0x0A, 0x00, 0xFF}), "1b400a00ff");
    EXPECT_EQ(pb::encodeHex({}), "");
    EXPECT_EQ(pb::decodeHex("1B400a"), (std::vector<std::uint8_t>{0x1B, 0x40, 0x0A}));
    EXPECT_EQ(pb::decodeHex(""), std::vector<std::uint8_t>{});
    // A bad digit anywhere spoils the text, also the last one of a job of megabytes.
    for (const std::string& bad : {std::string("1b4"), std::string("1g"), std::string(" 1"), std::string("\xff" "0"),
                                   std::string(5u << 20, '0') + "0g"})
        EXPECT_FALSE(pb::decodeHex(bad)) << bad.substr(0, 8);
    // Random jobs, small and of megabytes, survive the round trip appended after other text.
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::uint8_t> bytes(round == 0 ? 3u << 20 : random() % 3000);
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(random());
        std::string text = "keep:";
        pb::appendHex(bytes, text);
        ASSERT_EQ(text.size(), 5 + 2 * bytes.size());
        EXPECT_EQ(pb::decodeHex(std::string_view(text).substr(5)), bytes);
    }
}

TEST(ChannelMessages, StatusWordsIgnoreCase)
{
    using W = pb::StatusWord;
    const std::vector<std::pair<std::string, W>> words = {
        {"finished", W::Finished}, {"FINISHED", W::Finished}, {"Busy", W::Busy},
        {"paper_out", W::PaperOut}, {"error", W::Error},       {"start", W::Start},
        {"finishedquerycallback", W::Other}, {"received_busy", W::Other},
    };
    for (const auto& [word, parsed] : words)
        EXPECT_EQ(pb::parseStatusWord(word), parsed) << word;
}

TEST(LogLine, HasTheThreadTagTimeAndMessageOnOneLineWhateverTheMessage)
{
    const auto now = std::chrono::system_clock::now();
    const std::regex shape(R"((main|not-main):\[[^\]\n]+\] (.*)\n)");
    std::smatch parts;
    const std::string mainLine = pb::formatLogLine(true, now, "bluetooth start");
    ASSERT_TRUE(std::regex_match(mainLine, parts, shape)) << mainLine;
    EXPECT_EQ(parts[1], "main");
    EXPECT_EQ(parts[2], "bluetooth start");
    EXPECT_NE(mainLine.find(pb::formatLogTime(now)), std::string::npos);
    const std::string otherLine = pb::formatLogLine(false, now, "readLoop");
    ASSERT_TRUE(std::regex_match(otherLine, parts, shape)) << otherLine;
    EXPECT_EQ(parts[1], "not-main");
    // Outside text cannot start a line of its own.
    const std::string line = pb::formatLogLine(true, now, "handleReceivedMessage: querycallback A\r\ndirect x\x7f");
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_NE(line.find("A\\x0d\\x0adirect x\\x7f"), std::string::npos);
    EXPECT_EQ(pb::escapeControlCharacters("无法 ok"), "无法 ok");
}

}  // namespace
