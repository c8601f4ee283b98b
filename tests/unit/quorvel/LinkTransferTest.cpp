// The credit-paced transfer of one link without any radio: credit arithmetic, chunk length,
// pages sent, and what a cut job leaves its printer needing.
#include "quorvel/LinkTransfer.h"

#include "printer/CommandStreamDecoder.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

using Clock = LinkTransfer::Clock;
const Clock::time_point t0 = Clock::now();

// enable, then one print image per entry (bytes per row, rows) with rows of `ink`, then a feed.
JobBytes imageJob(std::vector<std::pair<int, int>> images, std::uint8_t ink = 0xA5) {
    JobBytes job = {0x10, 0xFF, 0xF1, 0x03};
    for (auto [bytesPerRow, rows] : images) {
        const JobBytes header = {0x1D, 0x76, 0x30, 0x00, static_cast<std::uint8_t>(bytesPerRow), 0,
                                 static_cast<std::uint8_t>(rows), 0};
        job.insert(job.end(), header.begin(), header.end());
        job.insert(job.end(), static_cast<std::size_t>(bytesPerRow * rows), ink);
    }
    job.insert(job.end(), {0x1D, 0x0C});
    return job;
}

JobBytes pattern(std::size_t length) {
    JobBytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(0x40 + i % 50);
    return bytes;
}

std::vector<std::size_t> drain(LinkTransfer& transfer, JobBytes* sent = nullptr) {
    std::vector<std::size_t> lengths;
    while (auto chunk = transfer.nextChunk(t0)) {
        lengths.push_back(chunk->size());
        if (sent) sent->insert(sent->end(), chunk->begin(), chunk->end());
    }
    return lengths;
}

TEST(LinkTransfer, ChunksFollowCreditsMtuAndTheLinksLongestWrite) {
    LinkTransfer transfer;
    transfer.grant(3, t0);
    transfer.start(1, std::make_shared<const JobBytes>(pattern(1000)), {}, t0);
    EXPECT_EQ(drain(transfer), (std::vector<std::size_t>{182, 182, 182}));
    EXPECT_EQ(transfer.progress().sentBytes, 546u);
    EXPECT_FALSE(transfer.allSent());
    transfer.setMtu(244);  // a report mid-job: the next chunk is longer
    transfer.grant(4, t0);
    EXPECT_EQ(drain(transfer), (std::vector<std::size_t>{244, 210}));
    ASSERT_TRUE(transfer.allSent());
    EXPECT_EQ(transfer.finish(), LinkTransfer::Outcome::finished);
    EXPECT_EQ(transfer.credit(), 2);
    EXPECT_FALSE(transfer.busy());

    // A link that carries shorter writes than the printer's MTU: no write is ever longer.
    transfer.setMaximumWriteLength(100);
    transfer.start(2, std::make_shared<const JobBytes>(pattern(250)), {}, t0);
    transfer.grant(5, t0);
    EXPECT_EQ(drain(transfer), (std::vector<std::size_t>{100, 100, 50}));

    // An empty job spends one credit on an empty write; without credit it waits.
    LinkTransfer empty;
    empty.start(3, std::make_shared<const JobBytes>(), {}, t0);
    EXPECT_TRUE(drain(empty).empty());
    empty.grant(1, t0);
    EXPECT_EQ(drain(empty), (std::vector<std::size_t>{0}));
    EXPECT_TRUE(empty.allSent());
}

TEST(LinkTransfer, PagesCountWhenTheirLastRowIsSentAndAStallIsTwentySecondsWithoutCredit) {
    LinkTransfer transfer;
    const JobBytes job = imageJob({{10, 20}, {10, 20}});  // 4 + 208 + 208 + 2 bytes
    transfer.start(1, std::make_shared<const JobBytes>(job), {}, t0);
    transfer.setMtu(100);
    transfer.grant(2, t0);
    drain(transfer);
    EXPECT_EQ(transfer.progress().pagesDone, 0u);  // 200 bytes: the first image ends at 212
    transfer.grant(1, t0);
    drain(transfer);
    EXPECT_EQ(transfer.progress().pagesDone, 1u);
    EXPECT_FALSE(transfer.stalled(t0 + LinkTransfer::kStallLimit));
    EXPECT_TRUE(transfer.stalled(t0 + LinkTransfer::kStallLimit + std::chrono::seconds(1)));
    transfer.grant(2, t0 + std::chrono::seconds(25));
    EXPECT_FALSE(transfer.stalled(t0 + std::chrono::seconds(30)));
}

TEST(JobLayout, ACutCommandIsCompletedWithItsOwnBytesOrWithBlankRows) {
    const JobBytes job = imageJob({{4, 3}});  // enable 0-3, header 4-11, rows 12-23, feed 24-25
    const JobLayout layout(job);
    EXPECT_EQ(layout.pageCount(), 1u);
    struct Row {
        std::size_t cutAt;
        JobBytes completion;
    };
    const std::vector<Row> rows = {
        {0, {}},                                     // nothing sent yet
        {4, {}},                                     // between commands
        {2, {0xF1, 0x03}},                           // inside enable: its own bytes
        {6, [] { JobBytes b = {0x30, 0x00, 4, 0, 3, 0}; b.resize(6 + 12, 0); return b; }()},  // in the header
        {17, JobBytes(7, 0x00)},                     // in the rows: blank rows to the end
        {25, {0x0C}},                                // inside the feed
        {26, {}},                                    // at the end
    };
    for (const Row& row : rows) EXPECT_EQ(layout.completionAt(job, row.cutAt), row.completion) << row.cutAt;
    // Bytes that begin no command are passed over, as a printer passes over them.
    const JobBytes noise = {0x41, 0x42, 0x10, 0xFF, 0xF1, 0x45, 0x43};
    EXPECT_EQ(JobLayout(noise).completionAt(noise, 4), (JobBytes{0xF1, 0x45}));
    EXPECT_TRUE(JobLayout(noise).completionAt(noise, 1).empty());
}

// A cancel stops the job at the chunk in hand and completes the cut image; a printer fed the
// cut job, its completion and the next job prints the next job's page exactly.
TEST(LinkTransfer, ACutJobIsCompletedSoTheNextJobDecodesClean) {
    const JobBytes first = imageJob({{10, 30}}, 0xFF), second = imageJob({{10, 5}}, 0x0F);
    LinkTransfer transfer;
    transfer.setMtu(50);
    transfer.start(1, std::make_shared<const JobBytes>(first), {}, t0);
    transfer.grant(3, t0);
    JobBytes printed;
    drain(transfer, &printed);
    transfer.cancel();
    transfer.grant(100, t0);
    drain(transfer, &printed);
    ASSERT_TRUE(transfer.allSent());
    EXPECT_EQ(transfer.finish(), LinkTransfer::Outcome::cancelled);
    EXPECT_EQ(JobBytes(printed.begin(), printed.begin() + 150), JobBytes(first.begin(), first.begin() + 150));
    EXPECT_EQ(printed.size(), 4u + 8 + 300);  // the image's remaining rows, blank; not the feed
    transfer.start(2, std::make_shared<const JobBytes>(second), {}, t0);
    drain(transfer, &printed);

    auto decoder = printer::CommandStreamDecoder::decodeAll(printed);
    const auto alone = printer::CommandStreamDecoder::decodeAll(second);
    ASSERT_EQ(decoder.pages().size(), 2u);
    ASSERT_EQ(alone.pages().size(), 1u);
    EXPECT_EQ(decoder.pages()[1].packed, alone.pages()[0].packed);
    EXPECT_TRUE(decoder.understoodCompletely());
}

// A link that falls takes the chunks in flight with it; what the printer needs next covers
// every chunk its credit grants do not prove it took in.
TEST(LinkTransfer, ALostLinkOwesTheCompletionPlusTheUnconfirmedChunksAsZeros) {
    const JobBytes job = imageJob({{10, 40}});
    LinkTransfer transfer;
    transfer.setMtu(40);
    transfer.grant(4, t0);  // the printer's empty buffer
    transfer.start(7, std::make_shared<const JobBytes>(job), {}, t0);
    drain(transfer);
    transfer.grant(1, t0);  // it took in one chunk
    drain(transfer);        // 5 chunks, 200 bytes written, 4 unconfirmed
    const JobLayout layout(job);
    JobBytes expected = layout.completionAt(job, 200);
    expected.resize(expected.size() + 4 * 40, 0x00);
    EXPECT_EQ(transfer.abandon(), expected);
    EXPECT_FALSE(transfer.busy());

    // A job not started when its link fell owes nothing; a completion still going out is
    // owed again.
    LinkTransfer idle;
    idle.start(8, std::make_shared<const JobBytes>(job), {}, t0);
    EXPECT_TRUE(idle.abandon().empty());
    idle.startCompletion(JobBytes(30, 0x00), t0);
    idle.grant(1, t0);
    idle.setMtu(10);
    drain(idle);
    EXPECT_EQ(idle.abandon().size(), 20u + 10u);  // 20 owed, plus the one unconfirmed chunk
}

}  // namespace
}  // namespace quorvel
