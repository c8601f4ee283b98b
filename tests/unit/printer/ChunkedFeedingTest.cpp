// Feeding the decoder in chunks of any size must give what feeding the stream whole gives.
#include "printer/CommandStreamDecoder.h"

#include "StreamBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace printer {
namespace {

using test::Bytes;
using test::hex;
using test::repeated;
using test::operator+;

CommandStreamDecoder decodeInChunks(const Bytes& stream, std::mt19937& random, std::size_t smallest,
                                    std::size_t largest)
{
    std::uniform_int_distribution<std::size_t> size(smallest, largest);
    CommandStreamDecoder decoder;
    std::size_t at = 0;
    while (at < stream.size()) {
        const std::size_t count = std::min(size(random), stream.size() - at);
        decoder.feed(std::span<const std::uint8_t>(stream.data() + at, count));
        at += count;
    }
    decoder.finish();
    return decoder;
}

// Streams that exercise every state the decoder keeps between chunks: command prefixes,
// image rows, zero runs, unknown runs, broken-off prefixes and a cut-off image.
std::vector<Bytes> sampleStreams(std::mt19937& random)
{
    Bytes rows(48 * 300);
    std::generate(rows.begin(), rows.end(), [&] { return static_cast<std::uint8_t>(random()); });
    const Bytes page = hex("10 FF F1 03 1F 80 01 10 0A 1D 76 30 00 30 00 2C 01") + rows + hex("1B 4A 60 10 FF F1 45");
    const Bytes job = repeated(0x00, 128) + hex("10 FF 10 00 01") + page + page + hex("1B BB BB");
    const Bytes noisy = hex("07 10 FF F1 07 00 00 1B 1C 26 20 56 31 20 73 FF") + repeated(0x00, 128) + job +
                        repeated(0x00, 300) + hex("1B 1C 26 20 56 31 20 64 6F 20 22 73 61 76 65 5F 70 61 72 61 6D") +
                        page;
    const Bytes cutOff = job + hex("1D 76 30 00 30 00 2C 01") + Bytes(rows.begin(), rows.begin() + 1000);

    // Bytes drawn mostly from those that begin or continue commands, so that prefixes
    // form and break off often.
    const Bytes alphabet = hex("00 0A 10 FF F1 03 45 1F 80 01 02 11 51 1D 76 30 0C 1B 4A BB 1C 26 20 56 31");
    Bytes fragments(20000);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::generate(fragments.begin(), fragments.end(), [&] { return alphabet[pick(random)]; });

    Bytes noise(20000);
    std::generate(noise.begin(), noise.end(), [&] { return static_cast<std::uint8_t>(random()); });
    return {job, noisy, cutOff, fragments, noise};
}

TEST(ChunkedFeeding, AnyChunkingGivesTheWholeStreamResult)
{
    std::mt19937 random(20240611);
    const auto streams = sampleStreams(random);
    struct Sizes {
        std::size_t smallest, largest;
    };
    const Sizes chunkings[] = {{1, 1}, {1, 7}, {20, 512}, {1, 4096}};
    for (std::size_t s = 0; s < streams.size(); ++s) {
        const auto whole = CommandStreamDecoder::decodeAll(streams[s]);
        for (const Sizes& sizes : chunkings) {
            for (int round = 0; round < 5; ++round) {
                SCOPED_TRACE("stream " + std::to_string(s) + ", chunks " + std::to_string(sizes.smallest) + ".." +
                             std::to_string(sizes.largest));
                const auto chunked = decodeInChunks(streams[s], random, sizes.smallest, sizes.largest);
                ASSERT_EQ(chunked.commands(), whole.commands());
                ASSERT_EQ(chunked.pages(), whole.pages());
                ASSERT_EQ(chunked.flaggedCount(), whole.flaggedCount());
                ASSERT_EQ(chunked.bytesFed(), streams[s].size());
            }
        }
    }
}

TEST(ChunkedFeeding, SampleStreamsCoverTheCasesTheyAreMeantFor)
{
    std::mt19937 random(20240611);
    const auto streams = sampleStreams(random);
    const auto job = CommandStreamDecoder::decodeAll(streams[0]);
    EXPECT_TRUE(job.understoodCompletely());
    EXPECT_EQ(job.pages().size(), 2u);
    const auto noisy = CommandStreamDecoder::decodeAll(streams[1]);
    EXPECT_EQ(noisy.pages().size(), 3u);
    EXPECT_GE(noisy.flaggedCount(), 4u);
    const auto cutOff = CommandStreamDecoder::decodeAll(streams[2]);
    ASSERT_EQ(cutOff.pages().size(), 3u);
    EXPECT_TRUE(cutOff.pages()[2].truncated);
}

}  // namespace
}  // namespace printer
