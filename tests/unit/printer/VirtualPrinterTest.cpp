// The virtual printer: the decoder's commands, pages, flagged bytes, limits and chunked = whole feeding,
// and PNG pages read back through libpng. Whole jobs of both filters are decoded by the round trip test.
#include "printer/CommandStreamDecoder.h"
#include "printer/PageRenderer.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string_view>
#include <utility>

namespace printer {
namespace {

using Bytes = std::vector<std::uint8_t>;
using K = CommandKind;
using Items = std::vector<std::pair<K, std::uint64_t>>;

// "10 FF F1 03" -> {0x10, 0xFF, 0xF1, 0x03}; spaces are ignored.
Bytes hex(std::string_view text)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += text[i] == ' ' ? 1 : 2)
        if (text[i] != ' ')
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
    return bytes;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kSetKey = hex("1B 1C 26 20 56 31 20 73 65 74 6B 65 79 0D 0A 01 CE 00 01 00");
const Bytes kSaveParameters =
    hex("1B 1C 26 20 56 31 20 64 6F 20 22 73 61 76 65 5F 70 61 72 61 6D 5F 7A 6F 6E 65 22 0D 0A");

Items items(const CommandStreamDecoder& decoder)
{
    Items result;
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
    const struct {
        Bytes bytes;
        K kind;
        int level, selector, code, mediaIndex, feed;
    } cases[] = {
        {hex("10 FF F1 03"), K::Enable, 0, 0, 0, -1, 0},      {hex("10 FF F1 45"), K::Disable, 0, 0, 0, -1, 0},
        {hex("10 FF 10 00 00"), K::Darkness, 0, 0, 0, -1, 0}, {hex("10 FF 10 00 FF"), K::Darkness, 0xFF, 0, 0, -1, 0},
        {hex("1F 80 01 30"), K::MediaType, 0, 1, 0x30, 2, 0}, {hex("1F 80 02 50"), K::MediaType, 0, 2, 0x50, 4, 0},
        {hex("0A"), K::LineFeed, 0, 0, 0, -1, 0},             {hex("1F 11 51"), K::ExitPaper, 0, 0, 0, -1, 0},
        {hex("1D 0C"), K::LabelFeed, 0, 0, 0, -1, 0},         {hex("1B 4A 60"), K::ContinuousFeed, 0, 0, 0, -1, 0x60},
        {hex("1B 4A 05"), K::ContinuousFeed, 0, 0, 0, -1, 5}, {hex("1B BB BB"), K::EndJob, 0, 0, 0, -1, 0},
        {kSetKey, K::SetKey, 0, 0, 0, -1, 0},                 {kSaveParameters, K::SaveParameters, 0, 0, 0, -1, 0},
        {Bytes(128, 0x00), K::BlankPreamble, 0, 0, 0, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(commandName(c.kind)));
        const auto decoder = CommandStreamDecoder::decodeAll(c.bytes);
        ASSERT_EQ(items(decoder), (Items{{c.kind, 0}}));
        const DecodedCommand& command = decoder.commands()[0];
        EXPECT_EQ(command.length, c.bytes.size());
        EXPECT_TRUE(decoder.understoodCompletely());
        EXPECT_EQ((std::tuple<int, int, int, int>(command.level, command.mediaSelector, command.mediaCode,
                                                  command.feedDots)),
                  std::tuple(c.level, c.selector, c.code, c.feed));
        if (c.kind == K::MediaType) {
            EXPECT_EQ(command.mediaIndex(), c.mediaIndex);
        }
    }
}

TEST(CommandStreamDecoder, PageOf384By533KeepsRowsAsSentMostSignificantBitLeftmost)
{
    Bytes rows(48 * 533);
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i] = static_cast<std::uint8_t>((i * 7 + i / 48) & 0x7E);  // 0x7E: first and last dots white
    rows[0] = 0x80;
    rows.back() = 0x01;
    const auto decoder = CommandStreamDecoder::decodeAll(hex("1D 76 30 00 30 00 15 02") + rows);
    ASSERT_EQ(items(decoder), (Items{{K::PrintImage, 0}}));
    EXPECT_EQ(decoder.commands()[0].length, 8u + rows.size());
    ASSERT_EQ(decoder.pages().size(), 1u);
    const DecodedPage& page = decoder.pages()[0];
    EXPECT_EQ(std::tuple(page.bytesPerRow, page.widthPixels(), page.rows(), page.truncated),
              std::tuple(48u, 384u, 533u, false));
    EXPECT_EQ(page.packed, rows);
    EXPECT_TRUE(page.black(0, 0) && page.black(383, 532));
    EXPECT_FALSE(page.black(1, 0) || page.black(382, 532));
    EXPECT_EQ(page.row(532).size(), 48u);
}

TEST(CommandStreamDecoder, FlagsUnknownBytesAsRunsWithTheirOffsets)
{
    const struct {
        const char* stream;
        Items items;
        std::vector<std::uint64_t> lengths;
    } cases[] = {
        // A broken-off prefix (10 FF F1 07) joins the unknown run around it.
        {"0A 07 10 FF F1 07 0A", {{K::LineFeed, 0}, {K::Unknown, 1}, {K::LineFeed, 6}}, {1, 5, 1}},
        // A command right behind a broken-off prefix is still found.
        {"10 FF 10 FF F1 03", {{K::Unknown, 0}, {K::Enable, 2}}, {2, 4}},
        // An unknown media selector, and a command cut off by the end of the stream.
        {"1F 80 03 10 0A 1B 4A", {{K::Unknown, 0}, {K::LineFeed, 4}, {K::Unknown, 5}}, {4, 1, 2}},
    };
    for (const auto& c : cases) {
        const auto decoder = CommandStreamDecoder::decodeAll(hex(c.stream));
        EXPECT_EQ(items(decoder), c.items) << c.stream;
        std::vector<std::uint64_t> lengths;
        for (const DecodedCommand& command : decoder.commands())
            lengths.push_back(command.length);
        EXPECT_EQ(lengths, c.lengths) << c.stream;
        EXPECT_FALSE(decoder.understoodCompletely());
        EXPECT_EQ(decoder.commands()[items(decoder)[0].first == K::Unknown ? 0 : 1].problem, Problem::NotUnderstood);
    }
    EXPECT_EQ(CommandStreamDecoder::decodeAll(hex(cases[0].stream)).commands()[1].sample[1], 0x10);
    // A media command whose code has no index is decoded but flagged.
    const auto media = CommandStreamDecoder::decodeAll(hex("1F 80 01 33"));
    ASSERT_EQ(media.commands().size(), 1u);
    EXPECT_EQ(media.commands()[0].problem, Problem::UnknownMediaCode);
    EXPECT_EQ(media.commands()[0].mediaIndex(), -1);
}

TEST(CommandStreamDecoder, OnlyARunOfExactly128ZerosIsABlankPreamble)
{
    for (const std::size_t length : {1u, 5u, 127u, 129u, 256u}) {
        const auto decoder = CommandStreamDecoder::decodeAll(Bytes(length, 0x00) + hex("0A"));
        EXPECT_EQ(items(decoder), (Items{{K::StrayZeros, 0}, {K::LineFeed, length}})) << length;
        EXPECT_EQ(decoder.commands()[0].length, length);
        EXPECT_EQ(decoder.flaggedCount(), 1u);
    }
    // Zeros inside a command or an image are parameters and dots, not a run.
    const auto decoder = CommandStreamDecoder::decodeAll(hex("10 FF 10 00 00 1D 76 30 00 01 00 02 00 00 00"));
    EXPECT_TRUE(decoder.understoodCompletely());
    EXPECT_EQ(decoder.commands().size(), 2u);
}

TEST(CommandStreamDecoder, TruncatedAndEmptyImagesMakeFlaggedPages)
{
    auto decoder = CommandStreamDecoder::decodeAll(hex("1D 76 30 00 02 00 03 00 AA BB CC"));
    ASSERT_EQ(decoder.pages().size(), 1u);
    EXPECT_EQ(decoder.commands()[0].problem, Problem::TruncatedImage);
    EXPECT_EQ(decoder.commands()[0].length, 11u);
    const DecodedPage& page = decoder.pages()[0];
    EXPECT_TRUE(page.truncated);
    EXPECT_EQ(page.receivedBytes, 3u);
    EXPECT_EQ(page.announcedRows, 3u);
    EXPECT_EQ(page.rows(), 2u);
    EXPECT_EQ(page.packed, hex("AA BB CC 00"));  // what arrived, padded white

    decoder = CommandStreamDecoder::decodeAll(hex("1D 76 30 00 00 00 05 00 1D 76 30 00 03 00 00 00 0A"));
    ASSERT_EQ(decoder.commands().size(), 3u);
    EXPECT_EQ(decoder.commands()[0].problem, Problem::EmptyImage);
    EXPECT_EQ(decoder.commands()[1].problem, Problem::EmptyImage);
    EXPECT_EQ(decoder.commands()[2].kind, K::LineFeed);
    ASSERT_EQ(decoder.pages().size(), 2u);
    EXPECT_TRUE(decoder.pages()[0].empty());
    EXPECT_EQ(decoder.pages()[1].rows(), 0u);
}

TEST(CommandStreamDecoder, MemoryAndStoredItemsAreBounded)
{
    // 65535 bytes x 65535 rows announced (4 GB), 1000 bytes sent.
    const auto decoder = CommandStreamDecoder::decodeAll(hex("1D 76 30 00 FF FF FF FF") + Bytes(1000, 0xFF));
    ASSERT_EQ(decoder.pages().size(), 1u);
    EXPECT_EQ(decoder.pages()[0].receivedBytes, 1000u);
    EXPECT_EQ(decoder.pages()[0].rows(), 1u);  // the partial row, padded to its width
    EXPECT_LE(decoder.pages()[0].packed.capacity(), std::size_t{4} << 20);

    // At most the command limit is stored, but every flag is counted.
    const std::size_t limit = CommandStreamDecoder::kMaxStoredCommands;
    const auto many = CommandStreamDecoder::decodeAll(Bytes(limit + 2, 0x0A) + hex("07"));
    EXPECT_EQ(many.commands().size(), limit);
    EXPECT_EQ(many.droppedCommands(), 3u);
    EXPECT_EQ(many.flaggedCount(), 1u);
}

TEST(CommandStreamDecoder, TakingResultsKeepsPageNumbersRunningAndListingLinesShowTheFlag)
{
    CommandStreamDecoder decoder;
    decoder.feed(hex("1D 76 30 00 01 00 01 00 FF 1D 76 30 00 01 00 01"));
    EXPECT_FALSE(decoder.atCommandBoundary());
    EXPECT_EQ(decoder.takePages().size(), 1u);
    EXPECT_EQ(decoder.takeCommands().size(), 1u);
    decoder.feed(hex("00 0F"));
    EXPECT_TRUE(decoder.atCommandBoundary());
    ASSERT_EQ(decoder.pages().size(), 1u);
    EXPECT_EQ(decoder.pages()[0].number, 2u);
    EXPECT_EQ(decoder.pages()[0].packed, hex("0F"));
    EXPECT_EQ(decoder.commands()[0].offset, 9u);

    const auto listed = CommandStreamDecoder::decodeAll(hex("10 FF 10 00 02 07 08"));
    ASSERT_EQ(listed.commands().size(), 2u);
    EXPECT_EQ(describeCommand(listed.commands()[0]), "         0  darkness  level=2");
    const std::string unknown = describeCommand(listed.commands()[1]);
    EXPECT_NE(unknown.find("5  unknown  2 bytes: 07 08"), std::string::npos) << unknown;
    EXPECT_NE(unknown.find("FLAGGED"), std::string::npos) << unknown;
}

// Streams that exercise every state the decoder keeps between chunks: command prefixes, image
// rows, zero runs, unknown runs, broken-off prefixes, a cut-off image, command-like fragments, noise.
TEST(ChunkedFeeding, AnyChunkingGivesTheWholeStreamResult)
{
    std::mt19937 random(20240611);
    auto randomBytes = [&](std::size_t count, const Bytes& alphabet) {
        Bytes bytes(count);
        std::uniform_int_distribution<std::size_t> pick(0, alphabet.empty() ? 255 : alphabet.size() - 1);
        std::generate(bytes.begin(), bytes.end(), [&] {
            return alphabet.empty() ? static_cast<std::uint8_t>(pick(random)) : alphabet[pick(random)];
        });
        return bytes;
    };
    const Bytes rows = randomBytes(48 * 300, {});
    const Bytes page = hex("10 FF F1 03 1F 80 01 10 0A 1D 76 30 00 30 00 2C 01") + rows + hex("1B 4A 60 10 FF F1 45");
    const Bytes job = Bytes(128, 0x00) + hex("10 FF 10 00 01") + page + page + hex("1B BB BB");
    const std::vector<Bytes> streams{
        job,
        hex("07 10 FF F1 07 00 00 1B 1C 26 20 56 31 20 73 FF") + Bytes(128, 0x00) + job + Bytes(300, 0x00) +
            hex("1B 1C 26 20 56 31 20 64 6F 20 22 73 61 76 65 5F 70 61 72 61 6D") + page,
        job + hex("1D 76 30 00 30 00 2C 01") + Bytes(rows.begin(), rows.begin() + 1000),
        randomBytes(20000, hex("00 0A 10 FF F1 03 45 1F 80 01 02 11 51 1D 76 30 0C 1B 4A BB 1C 26 20 56 31")),
        randomBytes(20000, {})};
    // The streams hold what they are meant to.
    EXPECT_TRUE(CommandStreamDecoder::decodeAll(streams[0]).understoodCompletely());
    EXPECT_GE(CommandStreamDecoder::decodeAll(streams[1]).flaggedCount(), 4u);
    ASSERT_EQ(CommandStreamDecoder::decodeAll(streams[2]).pages().size(), 3u);
    EXPECT_TRUE(CommandStreamDecoder::decodeAll(streams[2]).pages()[2].truncated);

    for (std::size_t s = 0; s < streams.size(); ++s) {
        const auto whole = CommandStreamDecoder::decodeAll(streams[s]);
        for (const auto& [smallest, largest] :
             {std::pair{1, 1}, std::pair{1, 7}, std::pair{20, 512}, std::pair{1, 4096}})
            for (int round = 0; round < 5; ++round) {
                SCOPED_TRACE("stream " + std::to_string(s) + ", chunks up to " + std::to_string(largest));
                std::uniform_int_distribution<std::size_t> size(smallest, largest);
                CommandStreamDecoder chunked;
                for (std::size_t at = 0, count = 0; at < streams[s].size(); at += count) {
                    count = std::min(size(random), streams[s].size() - at);
                    chunked.feed(std::span<const std::uint8_t>(streams[s].data() + at, count));
                }
                chunked.finish();
                ASSERT_EQ(chunked.commands(), whole.commands());
                ASSERT_EQ(chunked.pages(), whole.pages());
                ASSERT_EQ(chunked.flaggedCount(), whole.flaggedCount());
                ASSERT_EQ(chunked.bytesFed(), streams[s].size());
            }
    }
}

DecodedPage randomPage(std::uint32_t bytesPerRow, std::uint32_t rows, unsigned seed)
{
    std::mt19937 random(seed);
    DecodedPage page;
    page.number = 1;
    page.bytesPerRow = bytesPerRow;
    page.announcedRows = rows;
    page.packed.resize(std::size_t{bytesPerRow} * rows);
    for (auto& byte : page.packed)
        byte = static_cast<std::uint8_t>(random());
    page.receivedBytes = page.packed.size();
    return page;
}

// Reads the PNG (begun by libpng's `begin` reader) back as 8-bit grey and compares it dot for dot.
void expectSameDots(const DecodedPage& page, png_image& image, bool opened)
{
    ASSERT_TRUE(opened) << image.message;
    image.format = PNG_FORMAT_GRAY;
    ASSERT_EQ(image.width, page.widthPixels());
    ASSERT_EQ(image.height, page.rows());
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) << image.message;
    for (std::uint32_t y = 0; y < page.rows(); ++y)
        for (std::uint32_t x = 0; x < page.widthPixels(); ++x)
            ASSERT_EQ(pixels[std::size_t{y} * image.width + x], page.black(x, y) ? 0 : 255) << x << "," << y;
}

TEST(PageRenderer, PngRoundTripGivesBlackForEverySetBit)
{
    for (const auto& page : {randomPage(48, 533, 1), randomPage(1, 1, 2), randomPage(205, 17, 3)}) {
        std::string error;
        const auto png = encodePagePng(page, error);
        ASSERT_TRUE(png) << error;
        // A one-bit greyscale image: IHDR's bit depth and colour type.
        ASSERT_GT(png->size(), 26u);
        EXPECT_EQ((*png)[24], 1);
        EXPECT_EQ((*png)[25], PNG_COLOR_TYPE_GRAY);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        expectSameDots(page, image, png_image_begin_read_from_memory(&image, png->data(), png->size()) != 0);
    }
}

TEST(PageRenderer, WritesAFileAndRefusesAnEmptyPageOrABadPath)
{
    char pattern[] = "/tmp/pb-printer-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path directory = pattern;
    const DecodedPage page = randomPage(3, 9, 4);
    std::string error;
    ASSERT_TRUE(writePagePng(page, directory / "page-1.png", error)) << error;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    expectSameDots(page, image, png_image_begin_read_from_file(&image, (directory / "page-1.png").c_str()) != 0);

    DecodedPage empty;
    empty.bytesPerRow = 3;
    empty.announcedRows = 5;
    EXPECT_FALSE(writePagePng(empty, directory / "page-2.png", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(std::filesystem::exists(directory / "page-2.png"));
    error.clear();
    EXPECT_FALSE(writePagePng(page, directory / "missing" / "page-3.png", error));
    EXPECT_FALSE(error.empty());
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace printer
