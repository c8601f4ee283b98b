// Device discovery and queue tracking with real processes: a listing offers the printer that
// has no queue, its new queue gets it connected and set idle, a queue that goes disconnects
// its printer, a lost link sets the queue offline, and the agent never invents a queue.
#include "AgentHarness.h"

#include "common/Channel.h"
#include "common/Fifo.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace agenttest {
namespace {

constexpr const char* kQueued = "KRV38-A1";
constexpr const char* kNew = "QMT53-B2";

// The backend as CUPS runs it to list devices: no job arguments. It runs until killed.
std::unique_ptr<Process> startListing(const TempRoot& root) {
    return std::make_unique<Process>(std::vector<std::string>{backendPath()},
                                     std::vector<std::string>{"PELLBLUETOOTH_ROOT=" + root.root()},
                                     root.path("/listing.out"));
}

// Every queue lpadmin was asked about; each must be one the fake lpstat listed.
std::set<std::string> lpadminQueues(const TempRoot& root) {
    std::set<std::string> queues;
    const std::string calls = root.lpadminCalls();
    const std::regex call("-p (\\S+) -o printer-state=[35]");
    for (auto match = std::sregex_iterator(calls.begin(), calls.end(), call); match != std::sregex_iterator(); ++match)
        queues.insert((*match)[1]);
    return queues;
}

std::string agentOutput(const TempRoot& root) { return readFile(root.path("/agent.out")); }

TEST(DiscoveryFlow, AListingAfterAConnectionOffersTheNewPrinterWhichConnectsOnceItsQueueExists) {
    TempRoot root;
    root.setQueues({kQueued});
    Agent agent(root, std::string(kQueued) + "," + kNew);
    ASSERT_TRUE(agent.waitForLog("Connected to KRV38-A1"));
    ASSERT_TRUE(waitUntil([&] { return root.cupsenableCalls().find("KRV38-A1") != std::string::npos; }, 10s));

    auto listing = startListing(root);
    const std::string deviceLine = "direct pellbluetooth://QMT53-B2 \"QMT53\" \"QMT53-B2\" PPD=QMT53.ppd\n";
    ASSERT_TRUE(waitUntil([&] { return readFile(root.path("/listing.out")).find(deviceLine) != std::string::npos; }, 15s))
        << readFile(root.path("/listing.out"));
    ASSERT_TRUE(agent.waitForLog("BidirectionalFIFO addPrint QMT53-B2", 10s));
    EXPECT_EQ(readFile(root.path("/listing.out")).find("pellbluetooth://KRV38-A1 "), std::string::npos);
    EXPECT_EQ(root.lpadminCalls().find("QMT53-B2"), std::string::npos);  // no queue, no state

    root.setQueues({kQueued, kNew});  // CUPS made the queue from the device line
    ASSERT_TRUE(agent.waitForLog("Connected to QMT53-B2", 15s));
    ASSERT_TRUE(waitUntil([&] { return root.lpadminCalls().find("-p QMT53-B2 -o printer-state=3") != std::string::npos; },
                          10s))
        << root.lpadminCalls();
    ASSERT_TRUE(waitUntil([&] { return root.cupsenableCalls().find("QMT53-B2\n") != std::string::npos; }, 10s));
    EXPECT_EQ(lpadminQueues(root), (std::set<std::string>{kQueued, kNew}));
}

TEST(DiscoveryFlow, AQueueThatGoesDisconnectsItsPrinterAndNoStateIsSet) {
    TempRoot root;
    root.setQueues({kQueued});
    Agent agent(root, kQueued);
    ASSERT_TRUE(agent.waitForLog("Connected to KRV38-A1"));
    ASSERT_TRUE(agent.waitForLog("Printer KRV38-A1 has been add at printer list."));
    ASSERT_TRUE(waitUntil([&] { return root.lpadminCalls().find("printer-state=3") != std::string::npos; }, 10s));

    // The start-up connection and the first queue-list pass may each set the queue online;
    // nothing ever sets it offline: its link is only dropped once the queue is gone.
    root.setQueues({});
    ASSERT_TRUE(agent.waitForLog("Printer KRV38-A1 has been remove at printer list.", 10s));
    ASSERT_TRUE(agent.waitForLog("No queue named KRV38-A1 in the queue list; not setting it offline", 10s));
    EXPECT_NE(agentOutput(root).find("Printer KRV38-A1 has been removed."), std::string::npos);
    EXPECT_EQ(root.lpadminCalls().find("printer-state=5"), std::string::npos) << agentOutput(root);
    EXPECT_EQ(lpadminQueues(root), std::set<std::string>{kQueued});
}

TEST(DiscoveryFlow, ALostLinkSetsTheQueueOfflineAndTheNextJobIsPrinted) {
    TempRoot root;
    root.setQueues({kQueued});
    Agent agent(root, kQueued, {"QUORVEL_SIM_DROP_AFTER=3000"});
    ASSERT_TRUE(agent.waitForLog("Connected to KRV38-A1"));
    const std::string job = filteredJob(root, kQueued, 1);

    runBackend(root, kQueued, job, 40s);  // its link drops on the way
    ASSERT_TRUE(waitUntil([&] { return root.lpadminCalls().find("printer-state=5") != std::string::npos; }, 10s));
    BackendRun second = runBackend(root, kQueued, job);
    EXPECT_NE(second.output.find("Print job finished"), std::string::npos) << second.output;
    const std::string calls = root.lpadminCalls();
    EXPECT_NE(calls.find("-p KRV38-A1 -o printer-state=3", calls.find("printer-state=5")), std::string::npos) << calls;
    EXPECT_EQ(lpadminQueues(root), std::set<std::string>{kQueued});
}

TEST(DiscoveryFlow, AnAddCheckForANameThatNeverGetsAQueueStopsAfterTwentySeconds) {
    TempRoot root;
    root.setQueues({});
    Agent agent(root, kNew);
    const auto start = Clock::now();
    ASSERT_FALSE(pb::writeToFifo(root.path(pb::kCommandChannel), "addPrint NOWHERE-9 "));
    ASSERT_TRUE(agent.waitForLog("BidirectionalFIFO addPrint NOWHERE-9"));
    ASSERT_TRUE(waitUntil([&] { return agentOutput(root).find("Check printer loop stopped after 20 seconds.") !=
                                       std::string::npos; },
                          30s));
    EXPECT_GE(Clock::now() - start, 20s);
    EXPECT_LT(Clock::now() - start, 25s);
    EXPECT_EQ(root.lpadminCalls(), "");  // nothing to set, nothing created
}

}  // namespace
}  // namespace agenttest
