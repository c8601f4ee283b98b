// Word splitting, trimming, UTF-8 checks, hex text, status words and the log-line shape.
#include "common/Channel.h"
#include "common/HexText.h"
#include "common/LogLine.h"
#include "common/Words.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>

namespace {

using Words = std::vector<std::string>;

TEST(Text, WordsSplitOnSpacesOnlyWithoutEmptyWordsTrimmingAndUtf8)
{
    const std::vector<std::pair<std::string, Words>> cases = {
        {"querycallback A querycallback B ", {"querycallback", "A", "querycallback", "B"}},
        {"   status    finished  ", {"status", "finished"}},
        {"a\tb\nc\rd e", {"a\tb\nc\rd", "e"}},
        {"", {}},
        {"    ", {}},
    };
    for (const auto& [text, words] : cases)
        EXPECT_EQ(pb::splitWords(text), words) << '"' << text << '"';
    EXPECT_EQ(pb::trimWhitespace(" \t KRV38-A1\r\n"), "KRV38-A1");
    EXPECT_EQ(pb::trimWhitespace("a b"), "a b");
    EXPECT_EQ(pb::trimWhitespace(" \n\v\f "), "");
    for (const char* good : {"plain", "无法打开 FIFO", "\xF0\x9F\x96\xA8"})
        EXPECT_TRUE(pb::isValidUtf8(good)) << good;
    // Cut short, overlong, surrogate, past U+10FFFF, never valid.
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"})
        EXPECT_FALSE(pb::isValidUtf8(bad)) << pb::escapeControlCharacters(bad);
    EXPECT_EQ(pb::utf8Prefix("无法打开", 2), "无法");
    EXPECT_EQ(pb::utf8Prefix("abc", 10), "abc");
}

TEST(HexText, EncodesLowerCaseDecodesBothCasesAndRefusesMalformedText)
{
    EXPECT_EQ(pb::encodeHex(std::vector<std::uint8_t>{0x1B, 0x40, 0x0A, 0x00, 0xFF}), "1b400a00ff");
    EXPECT_EQ(pb::decodeHex("1B400a"), (std::vector<std::uint8_t>{0x1B, 0x40, 0x0A}));
    // A bad digit anywhere spoils the text, also the last one of a job of megabytes.
    for (const std::string& bad : {std::string("1b4"), std::string("1g"), std::string(" 1"), std::string("\xff" "0"),
                                   std::string(5u << 20, '0') + "0g"})
        EXPECT_FALSE(pb::decodeHex(bad)) << bad.substr(0, 8);
    // Random jobs, empty, small and of megabytes, survive the round trip appended after other text.
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::uint8_t> bytes(round == 0 ? 3u << 20 : round == 1 ? 0 : random() % 3000);
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(random());
        std::string text = "keep:";
        pb::appendHex(bytes, text);
        ASSERT_EQ(text.size(), 5 + 2 * bytes.size());
        EXPECT_EQ(pb::decodeHex(std::string_view(text).substr(5)), bytes);
    }
}

TEST(StatusWord, IgnoresCaseAndMatchesWholeWordsOnly)
{
    using W = pb::StatusWord;
    for (const auto& [word, parsed] : std::vector<std::pair<std::string, W>>{
             {"finished", W::Finished}, {"FINISHED", W::Finished}, {"Busy", W::Busy}, {"paper_out", W::PaperOut},
             {"error", W::Error}, {"start", W::Start}, {"finishedquerycallback", W::Other}, {"received_busy", W::Other}})
        EXPECT_EQ(pb::parseStatusWord(word), parsed) << word;
}

TEST(LogLine, IsTheThreadTagTimeAndMessageOnOneLineWhateverTheMessage)
{
    const auto now = std::chrono::system_clock::now();
    const std::string time = pb::formatLogTime(now);
    EXPECT_TRUE(std::regex_match(time, std::regex(R"(\d\d/\d\d/\d\d, \d\d:\d\d:\d\d \S+)"))) << time;  // C locale
    EXPECT_EQ(pb::formatLogLine(true, now, "无法 ok"), "main:[" + time + "] 无法 ok\n");
    // Outside text cannot start a line of its own.
    EXPECT_EQ(pb::formatLogLine(false, now, "querycallback A\r\ndirect x\x7f"),
              "not-main:[" + time + "] querycallback A\\x0d\\x0adirect x\\x7f\n");
}

}  // namespace
