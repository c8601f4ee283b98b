// Backend, agent and the simulated printer as real processes: what a job prints, a job that
// waits for its printer, a link lost mid-job and a printer that stops granting credits.
#include "DeliveryRig.h"
#include "JobAudit.h"

#include <gtest/gtest.h>

namespace agenttest {
namespace {

constexpr const char* kPrinter = "KRV38-A1";

TEST(AgentChain, ThreePageJobPrintsWhatTheDecoderRendersFromTheFiltersOutput) {
    ConnectedAgent a(kPrinter, {}, 3);
    BackendRun run = runBackend(a.root, kPrinter, a.job);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Print job finished"), std::string::npos) << run.output;
    EXPECT_LT(run.elapsed, 20s);

    ASSERT_TRUE(waitUntil([&] { return pageImages(a.root.printerFolder(kPrinter)).size() == 3; }, 10s));
    EXPECT_TRUE(sameBytes(a.root.printed(kPrinter), readFile(a.job)));
    const std::string rendered = a.root.path("/rendered");
    std::filesystem::create_directories(rendered);
    Process render({PB_RENDER_PATH, a.job, "-o", rendered}, {}, a.root.path("/render.out"));
    ASSERT_EQ(render.waitExit(30s), 0);
    const auto expected = pageImages(rendered);
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(pageImages(a.root.printerFolder(kPrinter)), expected);
}

TEST(AgentChain, AJobBeforeItsPrinterIsConnectedIsPrintedOnceItConnects) {
    TempRoot root;
    root.setQueues({});  // no queue yet: the printer is only reported, not connected
    Agent agent(root, kPrinter);
    ASSERT_TRUE(agent.waitForLog("还在扫描阶段，如果存在KRV38-A1"));
    ASSERT_FALSE(agent.logHas("Connected to"));
    const std::string job = filteredJob(root, kPrinter, 1);

    BackendRun run = runBackend(root, kPrinter, job);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Print job finished"), std::string::npos) << run.output;
    EXPECT_TRUE(agent.logHas("Job kept until KRV38-A1 is connected"));
    EXPECT_TRUE(agent.logHas("Sending the job kept for KRV38-A1 to KRV38-A1"));
    ASSERT_TRUE(waitUntil([&] { return pageImages(root.printerFolder(kPrinter)).size() == 1; }, 10s));
    EXPECT_TRUE(sameBytes(root.printed(kPrinter), readFile(job)));
}

TEST(AgentChain, ALinkLostMidJobFailsTheJobSetsTheQueueOfflineAndTheNextJobPrintsClean) {
    constexpr std::size_t kDropAfter = 6000;  // the simulated printer drops the link once
    ConnectedAgent a(kPrinter, {"QUORVEL_SIM_DROP_AFTER=" + std::to_string(kDropAfter)}, 2);
    // Chunks written into a dying link are lost with it, so the job cannot be finished
    // correctly: it is reported as failed, never as printed.
    BackendRun run = runBackend(a.root, kPrinter, a.job);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(run.output.find("Print job finished"), std::string::npos) << run.output;
    EXPECT_TRUE(a.agent.waitForLog("lost mid-job after"));
    // Offline at the drop, online again once the new scan has found and connected it.
    std::string calls;
    ASSERT_TRUE(waitUntil([&] {
        calls = a.root.lpadminCalls();
        const auto offline = calls.find("-p KRV38-A1 -o printer-state=5");
        return offline != std::string::npos && calls.find("-p KRV38-A1 -o printer-state=3", offline) != std::string::npos;
    }, 20s)) << calls;

    const std::string next = filteredJob(a.root, kPrinter, 1);
    const std::string sent = readFile(a.job), nextJob = readFile(next);
    run = runBackend(a.root, kPrinter, next);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Print job finished"), std::string::npos) << run.output;
    ASSERT_TRUE(waitUntil([&] { return a.root.printed(kPrinter).find(nextJob) != std::string::npos; }, 10s));
    // The printer holds the cut job's start, zeros that end its image, and the next job; nothing
    // of the cut job was sent again.
    const std::string printed = a.root.printed(kPrinter);
    const std::size_t cutEnd = std::mismatch(printed.begin(), printed.end(), sent.begin(), sent.end()).first - printed.begin();
    EXPECT_GE(cutEnd, kDropAfter);
    EXPECT_LT(cutEnd, sent.size());
    EXPECT_EQ(printed.find_first_not_of('\0', cutEnd), printed.find(nextJob));
    const JobAudit audit({{kPrinter, {printed}}});
    EXPECT_EQ(audit.classify({"next", kPrinter, nextJob, Reported::Printed}), Verdict::PrintedOnce);
}

TEST(AgentChain, APrinterThatStopsGrantingCreditsFailsTheJobAfterTwentySecondsWithNothingPrintedTwice) {
    constexpr auto kStallLimit = 20s;
    ConnectedAgent a(kPrinter, {"QUORVEL_SIM_CREDIT_LIMIT=24"}, 2);
    BackendRun run = runBackend(a.root, kPrinter, a.job, 45s);
    ASSERT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("Print job failed"), std::string::npos) << run.output;
    EXPECT_GE(run.elapsed, kStallLimit);
    EXPECT_LT(run.elapsed, kStallLimit + 8s);
    const std::string printed = a.root.printed(kPrinter), sent = readFile(a.job);
    ASSERT_LT(printed.size(), sent.size());
    EXPECT_TRUE(sameBytes(printed, sent.substr(0, printed.size())));
}

}  // namespace
}  // namespace agenttest
