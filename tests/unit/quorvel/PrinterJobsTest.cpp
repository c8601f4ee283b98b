// The agent's job queues over the BLE manager on the simulated radio: one job at a time per
// printer in arrival order, replies only to the backend holding the channel, reports while it
// waits, a cancel, two printers at once and a full queue. (A printer out of range is the
// process-level fault test's.)
#include "ManagerRig.h"

#include "common/Channel.h"

#include <gtest/gtest.h>

namespace quorvel::test {
namespace {

using namespace std::chrono_literals;

const std::string kFinished(pb::kStatusFinished);

JobBytes labelJob(std::uint8_t ink, int rows = 40) {
    JobBytes job = {0x10, 0xFF, 0xF1, 0x03, 0x1D, 0x76, 0x30, 0x00, 48, 0, static_cast<std::uint8_t>(rows), 0};
    job.resize(job.size() + 48 * static_cast<std::size_t>(rows), ink);
    job.insert(job.end(), {0x1D, 0x0C});
    return job;
}

JobBytes joined(const std::vector<JobBytes>& jobs) {
    JobBytes all;
    for (const JobBytes& job : jobs) all.insert(all.end(), job.begin(), job.end());
    return all;
}

constexpr PrinterJobs::Timing kShort{300ms, 100ms, 50ms};

TEST(PrinterJobs, JobsForOnePrinterGoOutWholeInArrivalOrderAndOnlyTheChannelJobHearsOfItsOwn) {
    ManagerRig rig({printer("KRV38-A1", {.bytesPerSecond = 20000})});
    PrinterJobs& jobs = rig.withJobs(kShort);
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed("KRV38-A1"));
    const std::vector<JobBytes> sent = {labelJob(0x11), labelJob(0x22), labelJob(0x33)};
    jobs.submit("KRV38-A1", sent[0], false);  // forwarded: nobody waits on the channel for it
    jobs.submit("KRV38-A1", sent[1], false);
    jobs.channelJobComing();
    jobs.submit("KRV38-A1", sent[2], true);
    EXPECT_TRUE(rig.replies.contains("status queued "));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.replies.contains(kFinished); }, 20s));
    EXPECT_EQ(rig.ends.size(), 3u);
    EXPECT_EQ(rig.replies.count(kFinished), 1u);
    EXPECT_TRUE(rig.replies.hasPrefix("status sending progress "));
    ASSERT_TRUE(rig.printedAtLeast("KRV38-A1", joined(sent).size()));
    EXPECT_EQ(rig.printed("KRV38-A1"), joined(sent));
}

// A job cancelled while it waits is taken out and its backend hears nothing. (One cancelled
// while it is sent is the process-level fault test's.)
TEST(PrinterJobs, ACancelTakesOutAWaitingJob) {
    ManagerRig rig({printer("KRV38-A1", {.bytesPerSecond = 20000})});
    PrinterJobs& jobs = rig.withJobs(kShort);
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed("KRV38-A1"));
    const JobBytes first = labelJob(0x55, 100), second = labelJob(0x66);
    jobs.submit("KRV38-A1", first, false);
    jobs.channelJobComing();
    jobs.submit("KRV38-A1", second, true);
    jobs.cancelChannelJob("KRV38-A1");
    EXPECT_TRUE(rig.logger.contains("Job 2 for KRV38-A1 cancelled before it was sent"));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.ends.contains("finished 1 KRV38-A1"); }, 20s));
    ASSERT_TRUE(rig.printedAtLeast("KRV38-A1", first.size()));
    EXPECT_EQ(rig.printed("KRV38-A1"), first);
    EXPECT_EQ(rig.ends.size(), 1u);
    EXPECT_FALSE(rig.replies.contains(kFinished));
}

TEST(PrinterJobs, TwoPrintersPrintAtOnceEachOverItsOwnLinkAndAFullQueueRefusesAJob) {
    ManagerRig rig({printer("KRV38-A1", {.bytesPerSecond = 20000}), printer("QMT53-B", {.bytesPerSecond = 20000})});
    PrinterJobs& jobs = rig.withJobs(kShort);
    rig.queues.add("KRV38-A1");
    rig.queues.add("QMT53-B");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->isReadyForJob("KRV38-A1") && rig.manager->isReadyForJob("QMT53-B"); }));
    std::vector<JobBytes> toA, toB;
    for (std::uint8_t i = 0; i < 3; ++i) {
        toA.push_back(labelJob(static_cast<std::uint8_t>(0x10 + i)));
        toB.push_back(labelJob(static_cast<std::uint8_t>(0x20 + i)));
        jobs.submit("KRV38-A1", toA.back(), false);
        jobs.submit("QMT53-B", toB.back(), false);
    }
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->jobProgress(1) && rig.manager->jobProgress(2); }));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.ends.size() == 6; }, 20s));
    EXPECT_TRUE(rig.offline.all().empty());
    ASSERT_TRUE(rig.printedAtLeast("KRV38-A1", joined(toA).size()) && rig.printedAtLeast("QMT53-B", joined(toB).size()));
    EXPECT_EQ(rig.printed("KRV38-A1"), joined(toA));
    EXPECT_EQ(rig.printed("QMT53-B"), joined(toB));

    for (std::size_t i = 0; i <= PrinterJobs::kMaxWaitingJobs; ++i) jobs.submit("ABSENT-1", {0x00}, false);
    jobs.channelJobComing();
    jobs.submit("ABSENT-1", {0x00}, true);
    EXPECT_EQ(rig.replies.all().back(), std::string(pb::kStatusError));
}

}  // namespace
}  // namespace quorvel::test
