// Backend, agent and the simulated printer as real processes: what a job prints, a job that
// waits for its printer, a link lost mid-job and a printer that stops granting credits.
#include "AgentHarness.h"

#include <gtest/gtest.h>

namespace agenttest {
namespace {

constexpr const char* kPrinter = "KRV38-A1";

// Streams are long and binary: say where they differ rather than print them.
::testing::AssertionResult sameBytes(const std::string& printed, const std::string& sent) {
    if (printed == sent)
        return ::testing::AssertionSuccess();
    const auto differ = std::mismatch(printed.begin(), printed.end(), sent.begin(), sent.end());
    return ::testing::AssertionFailure() << "printed " << printed.size() << " bytes, sent " << sent.size()
                                         << ", first difference at " << (differ.first - printed.begin());
}

// What the decoder renders from the filter's own output, page by page.
std::vector<std::string> renderedPages(const TempRoot& root, const std::string& job) {
    const std::string folder = root.path("/rendered");
    std::filesystem::create_directories(folder);
    Process render({renderPath(), job, "-o", folder}, {}, root.path("/render.out"));
    EXPECT_EQ(render.waitExit(30s), 0);
    std::vector<std::string> images;
    for (const auto& page : pages(folder))
        images.push_back(readFile(page.string()));
    return images;
}

std::vector<std::string> printedPages(const TempRoot& root, const std::string& printer) {
    std::vector<std::string> images;
    for (const auto& page : pages(root.printerFolder(printer)))
        images.push_back(readFile(page.string()));
    return images;
}

TEST(AgentChain, ThreePageJobPrintsWhatTheDecoderRendersFromTheFiltersOutput) {
    TempRoot root;
    root.setQueues({kPrinter});
    Agent agent(root, kPrinter);
    ASSERT_TRUE(agent.waitForLog("Connected to KRV38-A1"));
    const std::string job = filteredJob(root, kPrinter, 3);

    BackendRun run = runBackend(root, kPrinter, job);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Print job finished"), std::string::npos) << run.output;
    EXPECT_LT(run.elapsed, 20s);

    ASSERT_TRUE(waitUntil([&] { return printedPages(root, kPrinter).size() == 3; }, 10s));
    EXPECT_TRUE(sameBytes(readFile(root.printerFolder(kPrinter) + "/stream.bin"), readFile(job)));
    const auto expected = renderedPages(root, job);
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(printedPages(root, kPrinter), expected);
    EXPECT_NE(root.lpadminCalls().find("-p KRV38-A1 -o printer-state=3"), std::string::npos);
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
    ASSERT_TRUE(waitUntil([&] { return printedPages(root, kPrinter).size() == 1; }, 10s));
    EXPECT_TRUE(sameBytes(readFile(root.printerFolder(kPrinter) + "/stream.bin"), readFile(job)));
}

TEST(AgentChain, APrinterThatDropsTheLinkMidJobFailsTheJobGoesOfflineAndComesBack) {
    TempRoot root;
    root.setQueues({kPrinter});
    constexpr std::size_t kDropAfter = 6000;
    Agent agent(root, kPrinter, {"QUORVEL_SIM_DROP_AFTER=" + std::to_string(kDropAfter)});
    ASSERT_TRUE(agent.waitForLog("Connected to KRV38-A1"));
    const std::string job = filteredJob(root, kPrinter, 2);

    // Chunks written into a dying link are lost with it, so the job cannot be finished
    // correctly: it is reported as failed, never as printed.
    BackendRun run = runBackend(root, kPrinter, job);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(run.output.find("Print job finished"), std::string::npos) << run.output;
    EXPECT_TRUE(agent.waitForLog("lost mid-job after"));
    // Offline at the drop, online again once the new scan has found and connected it.
    std::string calls;
    ASSERT_TRUE(waitUntil([&] {
        calls = root.lpadminCalls();
        const auto offline = calls.find("-p KRV38-A1 -o printer-state=5");
        return offline != std::string::npos &&
               calls.find("-p KRV38-A1 -o printer-state=3", offline) != std::string::npos;
    }, 20s)) << calls;
    EXPECT_EQ(agent.process().waitExit(0s), std::nullopt);  // still running
    // The printer holds the job's start and nothing is sent again after the reconnection.
    const std::string printed = readFile(root.printerFolder(kPrinter) + "/stream.bin");
    const std::string sent = readFile(job);
    EXPECT_GE(printed.size(), kDropAfter);
    EXPECT_LT(printed.size(), sent.size());
    EXPECT_TRUE(sameBytes(printed, sent.substr(0, printed.size())));
}

TEST(AgentChain, APrinterThatStopsGrantingCreditsEndsTheBackendAtItsWaitWithNothingPrintedTwice) {
    TempRoot root;
    root.setQueues({kPrinter});
    Agent agent(root, kPrinter, {"QUORVEL_SIM_CREDIT_LIMIT=24"});
    ASSERT_TRUE(agent.waitForLog("Connected to KRV38-A1"));
    const std::string job = filteredJob(root, kPrinter, 2);

    BackendRun run = runBackend(root, kPrinter, job, 45s);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.find("Print job finished"), std::string::npos) << run.output;
    EXPECT_GE(run.elapsed, 29s);
    const std::string printed = readFile(root.printerFolder(kPrinter) + "/stream.bin");
    const std::string sent = readFile(job);
    ASSERT_LT(printed.size(), sent.size());
    EXPECT_TRUE(sameBytes(printed, sent.substr(0, printed.size())));
}

}  // namespace
}  // namespace agenttest
