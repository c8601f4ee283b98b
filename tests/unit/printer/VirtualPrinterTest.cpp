// The virtual printer: decoded commands, pages, flags, limits, chunked = whole feeding, PNG pages read back.
#include "printer/CommandStreamDecoder.h"
#include "printer/PageRenderer.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string_view>
#include <utility>

namespace printer {
namespace {

using Bytes = std::vector<std::uint8_t>;
using K = CommandKind;
using P = Problem;
using Items = std::vector<std::tuple<K, std::uint64_t, std::uint64_t, P>>;  // kind, offset, length, problem

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

Items items(const CommandStreamDecoder& decoder)
{
    Items result;
    for (const DecodedCommand& command : decoder.commands())
        result.emplace_back(command.kind, command.offset, command.length, command.problem);
    return result;
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
        {hex("1B 1C 26 20 56 31 20 73 65 74 6B 65 79 0D 0A 01 CE 00 01 00"), K::SetKey, 0, 0, 0, -1, 0},
        {hex("1B 1C 26 20 56 31 20 64 6F 20 22 73 61 76 65 5F 70 61 72 61 6D 5F 7A 6F 6E 65 22 0D 0A"),
         K::SaveParameters, 0, 0, 0, -1, 0},
        {Bytes(128, 0x00), K::BlankPreamble, 0, 0, 0, -1, 0},
    };
    for (const auto& c : cases) {
        const auto decoder = CommandStreamDecoder::decodeAll(c.bytes);
        ASSERT_EQ(items(decoder), (Items{{c.kind, 0, c.bytes.size(), P::None}})) << commandName(c.kind);
        const DecodedCommand& m = decoder.commands()[0];
        EXPECT_EQ((std::tuple<int, int, int, int, int>(m.level, m.mediaSelector, m.mediaCode, m.feedDots,
                                                       m.mediaIndex())),
                  std::tuple(c.level, c.selector, c.code, c.feed, c.mediaIndex)) << commandName(c.kind);
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
    ASSERT_EQ(items(decoder), (Items{{K::PrintImage, 0, 8 + rows.size(), P::None}}));
    ASSERT_EQ(decoder.pages().size(), 1u);
    const DecodedPage& page = decoder.pages()[0];
    EXPECT_EQ(std::tuple(page.bytesPerRow, page.widthPixels(), page.rows(), page.truncated, page.packed),
              std::tuple(48u, 384u, 533u, false, rows));
    EXPECT_TRUE(page.black(0, 0) && page.black(383, 532) && !page.black(1, 0) && !page.black(382, 532));
    EXPECT_EQ(page.row(532).size(), 48u);
}

TEST(CommandStreamDecoder, FlagsUnknownBytesStrayZerosAndBadImagesWithTheirOffsets)
{
    const P U = P::NotUnderstood, Z = P::StrayZeros, N = P::None;
    const struct {
        Bytes stream;
        Items items;
    } cases[] = {
        // A broken-off prefix (10 FF F1 07) joins the unknown run around it.
        {hex("0A 07 10 FF F1 07 0A"), {{K::LineFeed, 0, 1, N}, {K::Unknown, 1, 5, U}, {K::LineFeed, 6, 1, N}}},
        // A command right behind a broken-off prefix is still found.
        {hex("10 FF 10 FF F1 03"), {{K::Unknown, 0, 2, U}, {K::Enable, 2, 4, N}}},
        // An unknown media selector, and a command cut off by the end of the stream.
        {hex("1F 80 03 10 0A 1B 4A"), {{K::Unknown, 0, 4, U}, {K::LineFeed, 4, 1, N}, {K::Unknown, 5, 2, U}}},
        {hex("1F 80 01 33"), {{K::MediaType, 0, 4, P::UnknownMediaCode}}},  // a code with no index
        // Only a run of exactly 128 zeros is a blank preamble.
        {Bytes(1, 0) + hex("0A"), {{K::StrayZeros, 0, 1, Z}, {K::LineFeed, 1, 1, N}}},
        {Bytes(127, 0) + hex("0A"), {{K::StrayZeros, 0, 127, Z}, {K::LineFeed, 127, 1, N}}},
        {Bytes(129, 0) + hex("0A"), {{K::StrayZeros, 0, 129, Z}, {K::LineFeed, 129, 1, N}}},
        {Bytes(256, 0), {{K::StrayZeros, 0, 256, Z}}},
        // An image with zero bytes per row, one with zero rows; one cut off after 3 of its 6 bytes.
        {hex("1D 76 30 00 00 00 05 00 1D 76 30 00 03 00 00 00 0A"),
         {{K::PrintImage, 0, 8, P::EmptyImage}, {K::PrintImage, 8, 8, P::EmptyImage}, {K::LineFeed, 16, 1, N}}},
        {hex("1D 76 30 00 02 00 03 00 AA BB CC"), {{K::PrintImage, 0, 11, P::TruncatedImage}}},
    };
    for (const auto& c : cases) {
        const auto decoder = CommandStreamDecoder::decodeAll(c.stream);
        EXPECT_EQ(items(decoder), c.items) << c.stream.size() << " bytes";
        const auto flagged = std::count_if(c.items.begin(), c.items.end(), [&](auto& i) { return get<3>(i) != N; });
        EXPECT_EQ(decoder.flaggedCount(), static_cast<std::size_t>(flagged)) << c.stream.size() << " bytes";
    }
    EXPECT_EQ(CommandStreamDecoder::decodeAll(cases[0].stream).commands()[1].sample[1], 0x10);
    // Zeros inside a command or an image are parameters and dots, not a run.
    const Bytes inner = hex("10 FF 10 00 00 1D 76 30 00 01 00 02 00 00 00");
    EXPECT_TRUE(CommandStreamDecoder::decodeAll(inner).understoodCompletely());

    // Truncated images keep what arrived, padded white to whole rows; empty images make empty pages.
    const auto truncated = CommandStreamDecoder::decodeAll(cases[9].stream).pages();
    ASSERT_EQ(truncated.size(), 1u);
    EXPECT_EQ(std::tuple(truncated[0].truncated, truncated[0].receivedBytes, truncated[0].announcedRows,
                         truncated[0].rows(), truncated[0].packed),
              std::tuple(true, 3u, 3u, 2u, hex("AA BB CC 00")));
    const auto empty = CommandStreamDecoder::decodeAll(cases[8].stream).pages();
    ASSERT_EQ(empty.size(), 2u);
    EXPECT_TRUE(empty[0].empty() && empty[1].empty());
}

TEST(CommandStreamDecoder, MemoryAndStoredItemsAreBounded)
{
    // 65535 bytes x 65535 rows announced (4 GB), 1000 bytes sent.
    const auto decoder = CommandStreamDecoder::decodeAll(hex("1D 76 30 00 FF FF FF FF") + Bytes(1000, 0xFF));
    ASSERT_EQ(decoder.pages().size(), 1u);
    // The partial row is padded to its width.
    EXPECT_EQ(std::tuple(decoder.pages()[0].receivedBytes, decoder.pages()[0].rows()), std::tuple(1000u, 1u));
    EXPECT_LE(decoder.pages()[0].packed.capacity(), std::size_t{4} << 20);

    // At most the command limit is stored, but every flag is counted.
    const std::size_t limit = CommandStreamDecoder::kMaxStoredCommands;
    const auto many = CommandStreamDecoder::decodeAll(Bytes(limit + 2, 0x0A) + hex("07"));
    EXPECT_EQ(std::tuple(many.commands().size(), many.droppedCommands(), many.flaggedCount()),
              std::tuple(limit, 3u, 1u));
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
    EXPECT_EQ(std::tuple(decoder.pages()[0].number, decoder.pages()[0].packed, decoder.commands()[0].offset),
              std::tuple(2u, hex("0F"), 9u));

    const auto listed = CommandStreamDecoder::decodeAll(hex("10 FF 10 00 02 07 08"));
    ASSERT_EQ(listed.commands().size(), 2u);
    EXPECT_EQ(describeCommand(listed.commands()[0]), "         0  darkness  level=2");
    EXPECT_EQ(describeCommand(listed.commands()[1]),
              "         5  unknown  2 bytes: 07 08  FLAGGED: bytes not understood");
}

// Streams that exercise every state the decoder keeps between chunks: command prefixes, image
// rows, zero runs, unknown runs, broken-off prefixes, a cut-off image, command-like fragments, noise.
TEST(ChunkedFeeding, AnyChunkingGivesTheWholeStreamResult)
{
    std::mt19937 random(20240611);
    auto randomBytes = [&](std::size_t count, const Bytes& alphabet) {
        Bytes bytes(count);
        for (auto& byte : bytes)
            byte = alphabet.empty() ? static_cast<std::uint8_t>(random()) : alphabet[random() % alphabet.size()];
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
    EXPECT_TRUE(CommandStreamDecoder::decodeAll(streams[2]).pages().back().truncated);

    for (std::size_t s = 0; s < streams.size(); ++s) {
        const auto whole = CommandStreamDecoder::decodeAll(streams[s]);
        for (const auto& [least, most] : {std::pair{1, 1}, std::pair{1, 7}, std::pair{20, 512}, std::pair{1, 4096}})
            for (int round = 0; round < 5; ++round) {
                SCOPED_TRACE("stream " + std::to_string(s) + ", chunks up to " + std::to_string(most));
                std::uniform_int_distribution<std::size_t> size(least, most);
                CommandStreamDecoder chunked;
                for (std::size_t at = 0, count = 0; at < streams[s].size(); at += count) {
                    count = std::min(size(random), streams[s].size() - at);
                    chunked.feed(std::span<const std::uint8_t>(streams[s].data() + at, count));
                }
                chunked.finish();
                ASSERT_TRUE(chunked.commands() == whole.commands() && chunked.pages() == whole.pages() &&
                            chunked.flaggedCount() == whole.flaggedCount() && chunked.bytesFed() == streams[s].size());
            }
    }
}

DecodedPage randomPage(std::uint32_t bytesPerRow, std::uint32_t rows, unsigned seed)
{
    std::mt19937 random(seed);
    const std::size_t size = std::size_t{bytesPerRow} * rows;
    DecodedPage page{1, bytesPerRow, rows, Bytes(size), size, false};
    for (auto& byte : page.packed)
        byte = static_cast<std::uint8_t>(random());
    return page;
}

// The file is a one-bit greyscale PNG (IHDR's bit depth and colour type); libpng reads it back as
// 8-bit grey, black for every set bit. Empty pages and unwritable paths are refused with a reason.
TEST(PageRenderer, PngFilesReadBackDotForDot)
{
    char pattern[] = "/tmp/pb-printer-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path file = std::filesystem::path(pattern) / "page.png";
    std::string error;
    for (const auto& page : {randomPage(48, 533, 1), randomPage(1, 1, 2), randomPage(205, 17, 3)}) {
        ASSERT_TRUE(writePagePng(page, file, error)) << error;
        std::ifstream in(file, std::ios::binary);
        const std::string png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GT(png.size(), 26u);
        EXPECT_EQ(std::tuple(png[24], png[25]), std::tuple(char{1}, char{PNG_COLOR_TYPE_GRAY}));
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, file.c_str())) << image.message;
        image.format = PNG_FORMAT_GRAY;
        ASSERT_EQ(std::tuple(image.width, image.height), std::tuple(page.widthPixels(), page.rows()));
        std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) << image.message;
        for (std::uint32_t i = 0; i < pixels.size(); ++i)
            ASSERT_EQ(pixels[i], page.black(i % image.width, i / image.width) ? 0 : 255) << "dot " << i;
    }
    for (const auto& [page, path] : {std::pair{DecodedPage{0, 3, 5, {}, 0, false}, file.parent_path() / "empty.png"},
                                     std::pair{randomPage(3, 9, 4), file.parent_path() / "missing" / "page.png"}}) {
        error.clear();
        EXPECT_FALSE(writePagePng(page, path, error) || error.empty() || std::filesystem::exists(path)) << path;
    }
    std::filesystem::remove_all(file.parent_path());
}

}  // namespace
}  // namespace printer
