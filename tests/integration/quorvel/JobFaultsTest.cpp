// Jobs that meet trouble on the way, with real processes: the agent killed mid-job, a job
// longer than the backend's old 30-second wait with another behind it, a printer out of range,
// a job cancelled while it is sent, a link that carries shorter writes than the MTU, and on
// BlueZ the service restarting and the adapter powered off and on.
#include "AgentHarness.h"

#include "common/Channel.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <regex>

namespace agenttest {
namespace {

constexpr const char* kPrinter = "KRV38-A1";
constexpr std::size_t kMtu = 182;  // the virtual printers' default

// Waits until the printer holds at least `fraction` of a job that it began its stream with.
bool waitForShare(const DeliveryRig& rig, std::size_t jobSize, double fraction, Clock::duration limit) {
    return waitUntil([&] { return rig.printedSize(kPrinter) >= std::size_t(fraction * jobSize); }, limit);
}

TEST(JobFaults, AnAgentKilledMidJobHasTheBackendRetryAndARestartedAgentTakesTheNextJobAtOnce) {
    constexpr std::size_t kCutJob = 12000;  // six seconds
    DeliveryRig rig({kPrinter}, {"QUORVEL_SIM_RATE=2000"});
    const std::string cutFile = rig.writeJob(1, kCutJob);
    BackendJob cut(rig.root, kPrinter, cutFile, 1);
    ASSERT_TRUE(waitForShare(rig, kCutJob, 0.3, 20s));
    rig.killAgent();
    const auto killed = Clock::now();
    EXPECT_EQ(cut.waitExit(pb::kAgentSilenceLimit + 10s), kRetryStatus) << cut.output();
    EXPECT_LT(Clock::now() - killed, pb::kAgentSilenceLimit + 5s);
    EXPECT_FALSE(cut.said("Print job finished")) << cut.output();

    rig.startAgent();
    const std::string nextFile = rig.writeJob(2, 3000);
    BackendJob next(rig.root, kPrinter, nextFile, 2);
    EXPECT_EQ(next.waitExit(40s), 0) << next.output();
    EXPECT_TRUE(next.said("Print job finished")) << next.output();
    EXPECT_LT(next.elapsed(), 15s);

    ASSERT_TRUE(rig.waitForQuietPrinters());
    const JobAudit audit(rig.streams());
    EXPECT_EQ(audit.classify({"1", kPrinter, readFile(cutFile), Reported::Retried}), Verdict::FailedAsReported);
    EXPECT_EQ(audit.classify({"2", kPrinter, readFile(nextFile)}), Verdict::PrintedOnce);
}

TEST(JobFaults, AMinuteLongJobEndsOnFinishedAndTheJobBehindItWaitsItsTurn) {
    constexpr std::size_t kLongJob = 12000, kShortJob = 600;
    // 12000 bytes: a minute. A two-chunk buffer, so the printer takes in the job at the pace it
    // prints it.
    DeliveryRig rig({kPrinter}, {"QUORVEL_SIM_RATE=200", "QUORVEL_SIM_CREDITS=2"});
    const std::string longFile = rig.writeJob(1, kLongJob), shortFile = rig.writeJob(2, kShortJob);
    BackendJob first(rig.root, kPrinter, longFile, 1);
    // Past the 30 seconds after which the backend used to give up on its job.
    ASSERT_TRUE(waitForShare(rig, kLongJob, 0.55, 50s));
    BackendJob second(rig.root, kPrinter, shortFile, 2);

    EXPECT_EQ(first.waitExit(50s), 0) << first.output();
    EXPECT_TRUE(first.said("Print job finished")) << first.output();
    EXPECT_FALSE(first.said("timed out")) << first.output();
    EXPECT_GE(first.elapsed(), 50s);  // more than 30 s past its hand-over
    EXPECT_EQ(second.waitExit(30s), 0) << second.output();
    EXPECT_TRUE(second.said("Print job finished")) << second.output();

    ASSERT_TRUE(rig.waitForQuietPrinters());
    const std::string longJob = readFile(longFile), shortJob = readFile(shortFile), printed = rig.printed(kPrinter);
    EXPECT_EQ(JobAudit(rig.streams()).problems({{"1", kPrinter, longJob}, {"2", kPrinter, shortJob}}), "");
    EXPECT_LT(printed.find(longJob), printed.find(shortJob));
}

TEST(JobFaults, AJobForAPrinterOutOfRangeIsGivenBackAfterTwentySecondsAndPrintsOnceItReturns) {
    DeliveryRig rig({kPrinter});
    ASSERT_TRUE(rig.order(std::string("leave ") + kPrinter));
    const std::string file = rig.writeJob(1, 3000);
    {
        BackendJob away(rig.root, kPrinter, file, 1);
        EXPECT_EQ(away.waitExit(pb::kPrinterWait + 15s), kRetryStatus) << away.output();
        EXPECT_GE(away.elapsed(), pb::kPrinterWait - 1s);
        EXPECT_LT(away.elapsed(), pb::kPrinterWait + 8s);
    }
    EXPECT_EQ(rig.printedSize(kPrinter), 0u);

    ASSERT_TRUE(rig.order(std::string("return ") + kPrinter));
    BackendJob again(rig.root, kPrinter, file, 1);  // as CUPS retries it
    EXPECT_EQ(again.waitExit(pb::kPrinterWait + 15s), 0) << again.output();
    EXPECT_TRUE(again.said("Print job finished")) << again.output();
    ASSERT_TRUE(rig.waitForQuietPrinters());
    EXPECT_TRUE(sameBytes(rig.printed(kPrinter), readFile(file)));
}

TEST(JobFaults, ACancelStopsTheJobWithinAChunkAndTheNextJobRendersClean) {
    // Slow, with a two-chunk buffer: a chunk takes about half a second, longer than a cancel
    // takes to reach the agent.
    DeliveryRig rig({kPrinter}, {"QUORVEL_SIM_RATE=400", "QUORVEL_SIM_CREDITS=2"});
    const std::string cutFile = rig.writeJob(1, 3000), nextFile = rig.writeJob(2, 800);
    const std::string cutJob = readFile(cutFile), nextJob = readFile(nextFile);
    std::size_t atCancel = 0;
    {
        BackendJob cancelled(rig.root, kPrinter, cutFile, 1);
        ASSERT_TRUE(waitForShare(rig, cutJob.size(), 0.2, 20s));
        atCancel = rig.printedSize(kPrinter);
        cancelled.signal(SIGTERM);  // as CUPS cancels a job
        EXPECT_EQ(cancelled.waitExit(10s), 0) << cancelled.output();
    }
    BackendJob next(rig.root, kPrinter, nextFile, 2);
    EXPECT_EQ(next.waitExit(40s), 0) << next.output();
    ASSERT_TRUE(rig.waitForQuietPrinters(2s));

    const std::string printed = rig.printed(kPrinter);
    const auto cutEnd = std::mismatch(printed.begin(), printed.end(), cutJob.begin(), cutJob.end()).first - printed.begin();
    EXPECT_LE(std::size_t(cutEnd), atCancel + kMtu) << "job bytes sent after the cancel";
    EXPECT_LT(std::size_t(cutEnd), cutJob.size());
    const auto nextAt = printed.find(nextJob);
    ASSERT_NE(nextAt, std::string::npos);
    ASSERT_GE(nextAt, std::size_t(cutEnd));
    EXPECT_EQ(printed.find_first_not_of('\0', cutEnd), nextAt) << "only zeros between the cut job and the next";
    const std::vector<SentJob> sent{{"1", kPrinter, cutJob, Reported::Cancelled}, {"2", kPrinter, nextJob}};
    EXPECT_EQ(JobAudit(rig.streams()).problems(sent), "");
}

// The simulated link carries fewer bytes than its MTU allows; on BlueZ the ATT MTU itself is
// the smallest there is (23), so every write must fit in 20 bytes.
struct ShortWrites {
    Radio radio;
    std::size_t maxWrite;
};

// Keeps the ctest names free of the struct's raw bytes.
void PrintTo(const ShortWrites& link, std::ostream* out) {
    PrintTo(link.radio, out);
    *out << ", " << link.maxWrite << "-byte writes";
}

class ShortWriteLink : public ::testing::TestWithParam<ShortWrites> {};

TEST_P(ShortWriteLink, GetsTheWholeJobInWritesItCarries) {
    const std::size_t maxWrite = GetParam().maxWrite;
    DeliveryRig rig({kPrinter}, {"QUORVEL_SIM_MAX_WRITE=" + std::to_string(maxWrite)}, GetParam().radio);
    const std::string file = rig.writeJob(1, 3000);
    BackendJob job(rig.root, kPrinter, file, 1);
    EXPECT_EQ(job.waitExit(40s), 0) << job.output();
    EXPECT_TRUE(job.said("Print job finished")) << job.output();
    ASSERT_TRUE(rig.waitForQuietPrinters());
    EXPECT_TRUE(sameBytes(rig.printed(kPrinter), readFile(file)));
    EXPECT_FALSE(rig.agent().logHas("dropped a write"));
    if (GetParam().radio == Radio::BlueZ) {
        EXPECT_EQ(rig.radio().bus().fakeLog().find("dropped a write"), std::string::npos);
    }
    // "已发送 N 字节": every data write the agent made.
    const std::string log = readFile(rig.root.path("/var/log/cups/pellbluetooth_backend.log"));
    const std::regex sentChunk("已发送 (\\d+) 字节");
    std::size_t writes = 0, longest = 0;
    for (auto match = std::sregex_iterator(log.begin(), log.end(), sentChunk); match != std::sregex_iterator(); ++match) {
        ++writes;
        longest = std::max<std::size_t>(longest, std::stoul((*match)[1]));
    }
    EXPECT_LE(longest, maxWrite);
    EXPECT_GE(writes, readFile(file).size() / maxWrite);
}

INSTANTIATE_TEST_SUITE_P(Radios, ShortWriteLink,
                         ::testing::Values(ShortWrites{Radio::Simulated, 100}, ShortWrites{Radio::BlueZ, 20}),
                         [](const auto& info) { return radioName({info.param.radio, info.index}); });

// Both end every link under the agent at once, with no word from the printer; the agent must
// find it again by itself, and a job must then print exactly once.
TEST(JobFaults, OnBlueZTheNextJobPrintsOnceAfterTheServiceRestartsAndAfterThePowerIsCycled) {
    DeliveryRig rig({kPrinter}, {}, Radio::BlueZ);
    const auto connections = [&] {
        const std::string log = readFile(rig.root.path("/var/log/cups/pellbluetooth_backend.log"));
        std::size_t count = 0;
        for (auto at = log.find("Connected to KRV38-A1"); at != std::string::npos; at = log.find("Connected to KRV38-A1", at + 1))
            ++count;
        return count;
    };
    std::vector<SentJob> sent;
    const auto printJob = [&](std::uint32_t id) {
        const std::string file = rig.writeJob(id, 3000);
        BackendJob job(rig.root, kPrinter, file, static_cast<int>(id));
        EXPECT_EQ(job.waitExit(40s), 0) << job.output() << rig.radio().bus().fakeLog();
        sent.push_back({std::to_string(id), kPrinter, readFile(file)});
    };
    printJob(1);
    ASSERT_TRUE(rig.order("restart")) << rig.radio().bus().fakeLog();
    ASSERT_TRUE(waitUntil([&] { return connections() >= 2; }, 20s)) << rig.radio().bus().fakeLog();
    printJob(2);
    ASSERT_TRUE(rig.order("power off"));
    ASSERT_TRUE(rig.order("power on"));
    ASSERT_TRUE(waitUntil([&] { return connections() >= 3; }, 20s)) << rig.radio().bus().fakeLog();
    printJob(3);
    ASSERT_EQ(rig.agent().process().waitExit(0s), std::nullopt);
    ASSERT_TRUE(rig.waitForQuietPrinters());
    EXPECT_EQ(JobAudit(rig.streams()).problems(sent), "");
}

// Someone holding the print-data channel open (here as a reader and writer both, so the open
// needs no partner) neither stalls a job nor runs two jobs into one: each job's length ends it.
TEST(JobFaults, AWriterHoldingThePrintDataChannelOpenNeitherStallsNorMergesJobs) {
    DeliveryRig rig({kPrinter});
    const std::string channel = rig.root.path("/var/run/cups-bluetooth");
    ASSERT_EQ(mkfifo(channel.c_str(), 0600), 0);
    const int held = ::open(channel.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    std::string expected;
    for (int id = 1; id <= 3; ++id) {
        const std::string file = rig.writeJob(static_cast<std::uint32_t>(id), 2000);
        BackendJob job(rig.root, kPrinter, file, id);
        EXPECT_EQ(job.waitExit(30s), 0) << job.output();
        EXPECT_TRUE(job.said("Print job finished")) << job.output();
        expected += readFile(file);
    }
    ::close(held);
    ASSERT_TRUE(rig.waitForQuietPrinters());
    EXPECT_TRUE(sameBytes(rig.printed(kPrinter), expected));
}

}  // namespace
}  // namespace agenttest
