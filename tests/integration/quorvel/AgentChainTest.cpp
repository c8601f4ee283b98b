// Backend, agent and a virtual printer as real processes, on either radio: a filtered job that
// waits for its printer, a link lost mid-job and a printer that stops granting credits.
#include "AgentHarness.h"

#include <gtest/gtest.h>

namespace agenttest {
namespace {

constexpr const char* kPrinter = "KRV38-A1";

class AgentChain : public ::testing::TestWithParam<Radio> {};

// The filter's output for three pages, sent before the printer is connected (the pages the
// printer draws from it are the filter round trip's test).
TEST_P(AgentChain, AFilteredJobSentBeforeItsPrinterIsConnectedIsPrintedWholeOnceItConnects) {
    TempRoot root;
    root.setQueues({});  // no queue yet: the printer is only reported, not connected
    const RadioRig radio(GetParam(), root, kPrinter);
    Agent agent(root, kPrinter, radio.agentSettings());
    ASSERT_TRUE(agent.waitForLog("还在扫描阶段，如果存在KRV38-A1"));
    ASSERT_FALSE(agent.logHas("Connected to"));
    const std::string job = filteredJob(root, kPrinter, 3);
    BackendJob run(root, kPrinter, job, 42);
    ASSERT_EQ(run.waitExit(40s), 0) << run.output();
    EXPECT_TRUE(run.said("Print job finished")) << run.output();
    EXPECT_LT(run.elapsed(), 20s);
    EXPECT_TRUE(agent.logHas("Job kept until KRV38-A1 is connected"));
    EXPECT_TRUE(agent.logHas("Sending the job kept for KRV38-A1 to KRV38-A1"));
    ASSERT_TRUE(waitUntil([&] { return root.printed(kPrinter).size() >= readFile(job).size(); }, 10s));
    EXPECT_TRUE(sameBytes(root.printed(kPrinter), readFile(job)));
}

TEST_P(AgentChain, ALinkLostMidJobFailsTheJobSetsTheQueueOfflineAndTheNextJobPrintsClean) {
    constexpr std::size_t kDropAfter = 6000;  // the simulated printer drops the link once
    DeliveryRig rig({kPrinter}, {"QUORVEL_SIM_DROP_AFTER=" + std::to_string(kDropAfter)}, GetParam());
    // Chunks written into a dying link are lost with it, so the job cannot be finished
    // correctly: it is reported as failed, never as printed.
    const std::string cutFile = rig.writeJob(1, 12000), sent = readFile(cutFile);
    {
        BackendJob run(rig.root, kPrinter, cutFile, 1);
        EXPECT_EQ(run.waitExit(40s), 1) << run.output();
        EXPECT_FALSE(run.said("Print job finished")) << run.output();
    }
    EXPECT_TRUE(rig.agent().waitForLog("lost mid-job after"));
    // Offline at the drop, online again once the new scan has found and connected it.
    std::string calls;
    ASSERT_TRUE(waitUntil([&] {
        calls = rig.root.lpadminCalls();
        const auto offline = calls.find("-p KRV38-A1 -o printer-state=5");
        return offline != std::string::npos && calls.find("-p KRV38-A1 -o printer-state=3", offline) != std::string::npos;
    }, 20s)) << calls;

    const std::string next = rig.writeJob(2, 3000), nextJob = readFile(next);
    BackendJob run(rig.root, kPrinter, next, 2);
    EXPECT_EQ(run.waitExit(40s), 0) << run.output();
    ASSERT_TRUE(waitUntil([&] { return rig.printed(kPrinter).find(nextJob) != std::string::npos; }, 10s));
    // The printer holds the cut job's start, zeros that end its image, and the next job; nothing
    // of the cut job was sent again.
    const std::string printed = rig.printed(kPrinter);
    const std::size_t cutEnd = std::mismatch(printed.begin(), printed.end(), sent.begin(), sent.end()).first - printed.begin();
    EXPECT_GE(cutEnd, kDropAfter);
    EXPECT_LT(cutEnd, sent.size());
    EXPECT_EQ(printed.find_first_not_of('\0', cutEnd), printed.find(nextJob));
    EXPECT_EQ(JobAudit(rig.streams()).classify({"next", kPrinter, nextJob}), Verdict::PrintedOnce);
}

TEST_P(AgentChain, APrinterThatStopsGrantingCreditsFailsTheJobAfterTwentySecondsWithNothingPrintedTwice) {
    constexpr auto kStallLimit = 20s;
    DeliveryRig rig({kPrinter}, {"QUORVEL_SIM_CREDIT_LIMIT=24"}, GetParam());
    const std::string job = rig.writeJob(1, 12000);
    BackendJob run(rig.root, kPrinter, job, 1);
    ASSERT_EQ(run.waitExit(45s), 1) << run.output();
    EXPECT_TRUE(run.said("Print job failed")) << run.output();
    EXPECT_GE(run.elapsed(), kStallLimit);
    EXPECT_LT(run.elapsed(), kStallLimit + 8s);
    const std::string printed = rig.printed(kPrinter), sent = readFile(job);
    ASSERT_LT(printed.size(), sent.size());
    EXPECT_TRUE(sameBytes(printed, sent.substr(0, printed.size())));
}

INSTANTIATE_TEST_SUITE_P(Radios, AgentChain, ::testing::Values(Radio::Simulated, Radio::BlueZ), radioName);

}  // namespace
}  // namespace agenttest
