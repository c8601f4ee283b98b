// Tests of the command-stream decoder: known commands, pages, flagged bytes and limits.
#include "printer/CommandStreamDecoder.h"

#include "StreamBytes.h"

#include <gtest/gtest.h>

#include <utility>

namespace printer {
namespace {

using test::Bytes;
using test::hex;
using test::repeated;
using test::operator+;

const Bytes kSetKey = hex("1B 1C 26 20 56 31 20 73 65 74 6B 65 79 0D 0A 01 CE 00 01 00");
const Bytes kSaveParameters =
    hex("1B 1C 26 20 56 31 20 64 6F 20 22 73 61 76 65 5F 70 61 72 61 6D 5F 7A 6F 6E 65 22 0D 0A");

std::vector<std::pair<CommandKind, std::uint64_t>> kindsAndOffsets(const CommandStreamDecoder& decoder)
{
    std::vector<std::pair<CommandKind, std::uint64_t>> result;
    for (const DecodedCommand& command : decoder.commands())
        result.emplace_back(command.kind, command.offset);
    return result;
}

TEST(CommandGrammar, EveryFirstByteOfAPatternIsAStartByte)
{
    for (int b = 0; b < 256; ++b) {
        const std::uint8_t byte = static_cast<std::uint8_t>(b);
        const bool begins = matchCommand(std::span<const std::uint8_t>(&byte, 1)).verdict != PatternVerdict::NoMatch;
        EXPECT_EQ(canStartCommand(byte), begins) << "byte " << b;
    }
}

TEST(CommandStreamDecoder, DecodesEachCommandAloneWithItsParameters)
{
    struct Case {
        Bytes bytes;
        CommandKind kind;
        void (*check)(const DecodedCommand&);
    };
    const Case cases[] = {
        {hex("10 FF F1 03"), CommandKind::Enable, nullptr},
        {hex("10 FF F1 45"), CommandKind::Disable, nullptr},
        {hex("10 FF 10 00 00"), CommandKind::Darkness, [](const DecodedCommand& c) { EXPECT_EQ(c.level, 0); }},
        {hex("10 FF 10 00 FF"), CommandKind::Darkness, [](const DecodedCommand& c) { EXPECT_EQ(c.level, 0xFF); }},
        {hex("1F 80 01 30"), CommandKind::MediaType,
         [](const DecodedCommand& c) {
             EXPECT_EQ(c.mediaSelector, 0x01);
             EXPECT_EQ(c.mediaCode, 0x30);
             EXPECT_EQ(c.mediaIndex(), 2);
         }},
        {hex("1F 80 02 50"), CommandKind::MediaType,
         [](const DecodedCommand& c) {
             EXPECT_EQ(c.mediaSelector, 0x02);
             EXPECT_EQ(c.mediaIndex(), 4);
         }},
        {hex("0A"), CommandKind::LineFeed, nullptr},
        {hex("1F 11 51"), CommandKind::ExitPaper, nullptr},
        {hex("1D 0C"), CommandKind::LabelFeed, nullptr},
        {hex("1B 4A 60"), CommandKind::ContinuousFeed, [](const DecodedCommand& c) { EXPECT_EQ(c.feedDots, 0x60); }},
        {hex("1B 4A 05"), CommandKind::ContinuousFeed, [](const DecodedCommand& c) { EXPECT_EQ(c.feedDots, 5); }},
        {hex("1B BB BB"), CommandKind::EndJob, nullptr},
        {kSetKey, CommandKind::SetKey, nullptr},
        {kSaveParameters, CommandKind::SaveParameters, nullptr},
        {repeated(0x00, 128), CommandKind::BlankPreamble, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(commandName(c.kind)));
        const auto decoder = CommandStreamDecoder::decodeAll(c.bytes);
        ASSERT_EQ(decoder.commands().size(), 1u);
        const DecodedCommand& command = decoder.commands()[0];
        EXPECT_EQ(command.kind, c.kind);
        EXPECT_EQ(command.offset, 0u);
        EXPECT_EQ(command.length, c.bytes.size());
        EXPECT_FALSE(command.flagged());
        EXPECT_TRUE(decoder.understoodCompletely());
        if (c.check)
            c.check(command);
    }
}

TEST(CommandStreamDecoder, DecodesWholeJobsOfBothFiltersInOrder)
{
    const Bytes image = hex("1D 76 30 00 01 00 02 00 F0 0F");
    const Bytes job = repeated(0x00, 128) + hex("10 FF 10 00 01") + hex("1F 11 51 1F 80 02 20 0A") +
                      hex("10 FF F1 03") + image + hex("1D 0C 10 FF F1 45") + kSetKey + kSaveParameters + image +
                      hex("1B 4A 60 1B BB BB");
    const auto decoder = CommandStreamDecoder::decodeAll(job);
    using K = CommandKind;
    const std::vector<std::pair<K, std::uint64_t>> expected{
        {K::BlankPreamble, 0},   {K::Darkness, 128},   {K::ExitPaper, 133}, {K::MediaType, 136},
        {K::LineFeed, 140},      {K::Enable, 141},     {K::PrintImage, 145}, {K::LabelFeed, 155},
        {K::Disable, 157},       {K::SetKey, 161},     {K::SaveParameters, 181}, {K::PrintImage, 210},
        {K::ContinuousFeed, 220}, {K::EndJob, 223}};
    EXPECT_EQ(kindsAndOffsets(decoder), expected);
    EXPECT_TRUE(decoder.understoodCompletely());
    ASSERT_EQ(decoder.pages().size(), 2u);
    EXPECT_EQ(decoder.pages()[1].number, 2u);
    EXPECT_EQ(decoder.commands()[11].pageNumber, 2u);
    EXPECT_EQ(decoder.pages()[0].packed, hex("F0 0F"));
    EXPECT_EQ(decoder.bytesFed(), job.size());
}

TEST(CommandStreamDecoder, PageOf384By533KeepsRowsAsSentMostSignificantBitLeftmost)
{
    Bytes rows(48 * 533);
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i] = static_cast<std::uint8_t>((i * 7 + i / 48) & 0x7E);  // 0x7E: first and last dots white
    rows[0] = 0x80;
    rows.back() = 0x01;
    const auto decoder = CommandStreamDecoder::decodeAll(hex("1D 76 30 00 30 00 15 02") + rows);

    ASSERT_EQ(decoder.commands().size(), 1u);
    const DecodedCommand& command = decoder.commands()[0];
    EXPECT_EQ(command.bytesPerRow, 48);
    EXPECT_EQ(command.rows, 533);
    EXPECT_EQ(command.length, 8u + rows.size());
    ASSERT_EQ(decoder.pages().size(), 1u);
    const DecodedPage& page = decoder.pages()[0];
    EXPECT_EQ(page.widthPixels(), 384u);
    EXPECT_EQ(page.rows(), 533u);
    EXPECT_FALSE(page.truncated);
    EXPECT_EQ(page.packed, rows);
    EXPECT_TRUE(page.black(0, 0));
    EXPECT_FALSE(page.black(1, 0));
    EXPECT_TRUE(page.black(383, 532));
    EXPECT_FALSE(page.black(382, 532));
    EXPECT_EQ(page.row(532).size(), 48u);
}

TEST(CommandStreamDecoder, FlagsUnknownBytesAsRunsWithTheirOffsets)
{
    // A broken-off prefix (10 FF F1 07) joins the unknown run around it.
    auto decoder = CommandStreamDecoder::decodeAll(hex("0A 07 10 FF F1 07 0A"));
    using K = CommandKind;
    EXPECT_EQ(kindsAndOffsets(decoder), (std::vector<std::pair<K, std::uint64_t>>{{K::LineFeed, 0}, {K::Unknown, 1},
                                                                                  {K::LineFeed, 6}}));
    EXPECT_EQ(decoder.commands()[1].length, 5u);
    EXPECT_EQ(decoder.commands()[1].sample[1], 0x10);
    EXPECT_EQ(decoder.commands()[1].problem, Problem::NotUnderstood);
    EXPECT_EQ(decoder.flaggedCount(), 1u);

    // A command right behind a broken-off prefix is still found.
    decoder = CommandStreamDecoder::decodeAll(hex("10 FF 10 FF F1 03"));
    EXPECT_EQ(kindsAndOffsets(decoder), (std::vector<std::pair<K, std::uint64_t>>{{K::Unknown, 0}, {K::Enable, 2}}));
    EXPECT_EQ(decoder.commands()[0].length, 2u);

    // An unknown media selector, and a command cut off by the end of the stream.
    decoder = CommandStreamDecoder::decodeAll(hex("1F 80 03 10 0A 1B 4A"));
    EXPECT_EQ(kindsAndOffsets(decoder),
              (std::vector<std::pair<K, std::uint64_t>>{{K::Unknown, 0}, {K::LineFeed, 4}, {K::Unknown, 5}}));
    EXPECT_EQ(decoder.commands()[0].length, 4u);
    EXPECT_EQ(decoder.commands()[2].length, 2u);
    EXPECT_FALSE(decoder.understoodCompletely());

    // A media command whose code has no index is decoded but flagged.
    decoder = CommandStreamDecoder::decodeAll(hex("1F 80 01 33"));
    ASSERT_EQ(decoder.commands().size(), 1u);
    EXPECT_EQ(decoder.commands()[0].problem, Problem::UnknownMediaCode);
    EXPECT_EQ(decoder.commands()[0].mediaIndex(), -1);
}

TEST(CommandStreamDecoder, OnlyARunOfExactly128ZerosIsABlankPreamble)
{
    for (const std::size_t length : {1u, 5u, 127u, 129u, 256u}) {
        SCOPED_TRACE(length);
        const auto decoder = CommandStreamDecoder::decodeAll(repeated(0x00, length) + hex("0A"));
        ASSERT_EQ(decoder.commands().size(), 2u);
        EXPECT_EQ(decoder.commands()[0].kind, CommandKind::StrayZeros);
        EXPECT_EQ(decoder.commands()[0].length, length);
        EXPECT_EQ(decoder.commands()[1].offset, length);
        EXPECT_EQ(decoder.flaggedCount(), 1u);
    }
    // Zeros inside a command or an image are parameters and dots, not a run.
    const auto decoder = CommandStreamDecoder::decodeAll(hex("10 FF 10 00 00 1D 76 30 00 01 00 02 00 00 00"));
    EXPECT_TRUE(decoder.understoodCompletely());
    EXPECT_EQ(decoder.commands().size(), 2u);
}

TEST(CommandStreamDecoder, TruncatedImageKeepsWhatArrivedPaddedWhite)
{
    const auto decoder = CommandStreamDecoder::decodeAll(hex("1D 76 30 00 02 00 03 00 AA BB CC"));
    ASSERT_EQ(decoder.commands().size(), 1u);
    const DecodedCommand& command = decoder.commands()[0];
    EXPECT_EQ(command.problem, Problem::TruncatedImage);
    EXPECT_EQ(command.length, 11u);
    ASSERT_EQ(decoder.pages().size(), 1u);
    const DecodedPage& page = decoder.pages()[0];
    EXPECT_TRUE(page.truncated);
    EXPECT_EQ(page.receivedBytes, 3u);
    EXPECT_EQ(page.announcedRows, 3u);
    EXPECT_EQ(page.rows(), 2u);
    EXPECT_EQ(page.packed, hex("AA BB CC 00"));
}

TEST(CommandStreamDecoder, EmptyImagesMakeEmptyFlaggedPages)
{
    const auto decoder = CommandStreamDecoder::decodeAll(hex("1D 76 30 00 00 00 05 00 1D 76 30 00 03 00 00 00 0A"));
    ASSERT_EQ(decoder.commands().size(), 3u);
    EXPECT_EQ(decoder.commands()[0].problem, Problem::EmptyImage);
    EXPECT_EQ(decoder.commands()[1].problem, Problem::EmptyImage);
    EXPECT_EQ(decoder.commands()[2].kind, CommandKind::LineFeed);
    ASSERT_EQ(decoder.pages().size(), 2u);
    EXPECT_TRUE(decoder.pages()[0].empty());
    EXPECT_EQ(decoder.pages()[1].rows(), 0u);
}

TEST(CommandStreamDecoder, MemoryFollowsTheInputNotTheAnnouncedImageSize)
{
    // 65535 bytes x 65535 rows announced (4 GB), 1000 bytes sent.
    const auto decoder = CommandStreamDecoder::decodeAll(hex("1D 76 30 00 FF FF FF FF") + repeated(0xFF, 1000));
    ASSERT_EQ(decoder.pages().size(), 1u);
    const DecodedPage& page = decoder.pages()[0];
    EXPECT_EQ(page.receivedBytes, 1000u);
    EXPECT_EQ(page.rows(), 1u);  // the partial row, padded to its width
    EXPECT_LE(page.packed.capacity(), std::size_t{4} << 20);
}

TEST(CommandStreamDecoder, StoresAtMostTheCommandLimitButCountsEveryFlag)
{
    const Bytes stream = repeated(0x0A, CommandStreamDecoder::kMaxStoredCommands + 2) + hex("07");
    const auto decoder = CommandStreamDecoder::decodeAll(stream);
    EXPECT_EQ(decoder.commands().size(), CommandStreamDecoder::kMaxStoredCommands);
    EXPECT_EQ(decoder.droppedCommands(), 3u);
    EXPECT_EQ(decoder.flaggedCount(), 1u);
}

TEST(CommandStreamDecoder, TakingResultsKeepsPageNumbersRunning)
{
    const Bytes image = hex("1D 76 30 00 01 00 01 00 FF");
    CommandStreamDecoder decoder;
    decoder.feed(image + hex("1D 76 30 00 01 00 01"));
    EXPECT_FALSE(decoder.atCommandBoundary());
    const auto firstPages = decoder.takePages();
    const auto firstCommands = decoder.takeCommands();
    ASSERT_EQ(firstPages.size(), 1u);
    ASSERT_EQ(firstCommands.size(), 1u);
    decoder.feed(hex("00 0F"));
    EXPECT_TRUE(decoder.atCommandBoundary());
    ASSERT_EQ(decoder.pages().size(), 1u);
    EXPECT_EQ(decoder.pages()[0].number, 2u);
    EXPECT_EQ(decoder.pages()[0].packed, hex("0F"));
    EXPECT_EQ(decoder.commands()[0].offset, 9u);
}

TEST(DecodedCommand, ListingLineShowsOffsetNameParametersAndFlag)
{
    const auto decoder = CommandStreamDecoder::decodeAll(hex("10 FF 10 00 02 07 08"));
    ASSERT_EQ(decoder.commands().size(), 2u);
    EXPECT_EQ(describeCommand(decoder.commands()[0]), "         0  darkness  level=2");
    const std::string unknown = describeCommand(decoder.commands()[1]);
    EXPECT_NE(unknown.find("5  unknown  2 bytes: 07 08"), std::string::npos) << unknown;
    EXPECT_NE(unknown.find("FLAGGED"), std::string::npos) << unknown;
}

}  // namespace
}  // namespace printer
