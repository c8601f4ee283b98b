// The agent's job queues over the BLE manager on the simulated radio: one job at a time per
// printer in arrival order, replies only to the backend holding the channel, reports while it
// waits, printers out of range, cancels, and two printers at once.
#include "ManagerRig.h"

#include "common/Channel.h"
#include "printer/CommandStreamDecoder.h"

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

TEST(PrinterJobs, AJobForAPrinterOutOfRangeIsHandedBackAfterTheWaitAndPrintsOnceItComes) {
    ManagerRig rig({});
    PrinterJobs& jobs = rig.withJobs(kShort);
    ASSERT_TRUE(rig.start());
    jobs.channelJobComing();
    jobs.submit("QMV27-0042", labelJob(0x44), true);
    EXPECT_TRUE(rig.replies.contains("status connecting "));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.replies.contains("status not_in_range "); }, 5s));
    EXPECT_TRUE(rig.logger.hasPrefix("Job 1 for QMV27-0042 dropped: the printer did not come in range"));
    EXPECT_TRUE(jobs.waitingPrinters().empty());
    // Sent again, as CUPS retries it: the printer comes in range meanwhile and the job connects
    // it although no queue names it.
    jobs.channelJobComing();
    jobs.submit("QMV27-0042", labelJob(0x44), true);
    rig.central->addPrinter(printer("QMV27-0042"));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.replies.contains(kFinished); }, 10s));
    ASSERT_TRUE(rig.printedAtLeast("QMV27-0042", labelJob(0x44).size()));
    EXPECT_EQ(rig.printed("QMV27-0042"), labelJob(0x44));
}

// Cancelled while waiting: taken out. Cancelled while being sent: it stops at the chunk in
// hand, its image is completed with blank rows, and the job after it prints whole.
TEST(PrinterJobs, ACancelTakesOutAWaitingJobAndCutsOneBeingSentCleanly) {
    ManagerRig rig({printer("KRV38-A1", {.bytesPerSecond = 4000})});
    PrinterJobs& jobs = rig.withJobs(kShort);
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed("KRV38-A1"));
    const JobBytes first = labelJob(0x55, 200), second = labelJob(0x66), third = labelJob(0x77);
    jobs.channelJobComing();
    jobs.submit("KRV38-A1", first, true);
    ASSERT_TRUE(rig.printedAtLeast("KRV38-A1", 3000));
    jobs.submit("KRV38-A1", second, false);
    jobs.channelJobComing();
    jobs.submit("KRV38-A1", third, true);
    jobs.cancelChannelJob("KRV38-A1");  // the third, still waiting
    EXPECT_TRUE(rig.logger.contains("Job 3 for KRV38-A1 cancelled before it was sent"));
    // The first job, cancelled as its backend would have it cancelled.
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->jobProgress(1).has_value(); }));
    rig.manager->cancelJob(1);
    ASSERT_TRUE(rig.waitUntil([&] { return rig.ends.contains("finished 2 KRV38-A1"); }, 20s));
    EXPECT_TRUE(rig.ends.contains("cancelled 1 KRV38-A1"));
    JobBytes printed;
    printer::CommandStreamDecoder decoded;
    // The printer prints at its own pace, after the agent has handed everything over.
    ASSERT_TRUE(rig.waitUntil([&] {
        printed = rig.printed("KRV38-A1");
        if (printed.size() < second.size() || !std::equal(second.begin(), second.end(), printed.end() - second.size()))
            return false;
        decoded = printer::CommandStreamDecoder::decodeAll(printed);
        return true;
    }));
    EXPECT_EQ(decoded.pages()[1].packed, JobBytes(second.begin() + 12, second.end() - 2));
    EXPECT_LT(printed.size(), first.size() + second.size());
    EXPECT_FALSE(rig.replies.contains(kFinished));  // the cancelled backends hear nothing
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
