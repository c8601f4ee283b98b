// Device discovery and queue tracking with real processes and a stateful fake CUPS: a listing
// offers the printer that has no queue, its new queue gets it connected and set idle, a queue
// that goes disconnects its printer, and the agent never invents a queue. (Each pass's keeping of
// queue states is the queue checker's unit test.) A printing queue is never changed.
#include "AgentHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

namespace agenttest {
namespace {

constexpr const char* kQueued = "KRV38-A1";
constexpr const char* kNew = "QMT53-B2";

// Every queue lpadmin was asked about; each must be one the fake lpstat listed.
std::set<std::string> lpadminQueues(const TempRoot& root) {
    std::set<std::string> queues;
    const std::string calls = root.lpadminCalls();
    const std::regex call("-p (\\S+) -o printer-state=[35]");
    for (auto match = std::sregex_iterator(calls.begin(), calls.end(), call); match != std::sregex_iterator(); ++match)
        queues.insert((*match)[1]);
    return queues;
}

class DiscoveryFlow : public ::testing::TestWithParam<Radio> {};

bool fileGets(const std::string& path, const std::string& part, Clock::duration limit = 10s) {
    return waitUntil([&] { return readFile(path).find(part) != std::string::npos; }, limit);
}

TEST_P(DiscoveryFlow, AListingOffersThePrinterWithoutAQueueAQueueThatGoesDisconnectsAndANewQueueConnects) {
    TempRoot root;
    root.setQueues({kQueued});
    root.setQueueState(kQueued, "stopped");  // as an earlier run left it when the printer went
    const std::string printers = std::string(kQueued) + "," + kNew;
    const RadioRig radio(GetParam(), root, printers);
    Agent agent(root, printers, radio.agentSettings());
    ASSERT_TRUE(agent.waitForLog("Connected to KRV38-A1"));
    ASSERT_TRUE(fileGets(root.path("/cupsenable.calls"), "KRV38-A1\n"));

    // The backend as CUPS runs it to list devices: no job arguments. It runs until killed.
    Process listing({PB_BACKEND_PATH}, {"PELLBLUETOOTH_ROOT=" + root.root()}, root.path("/listing.out"));
    const std::string listed = root.path("/listing.out");
    ASSERT_TRUE(fileGets(listed, "direct pellbluetooth://QMT53-B2 \"QMT53\" \"QMT53-B2\" \"MFG:Pell;MDL:QMT53;CMD:ESC/POS;\"\n", 15s))
        << readFile(listed);
    ASSERT_TRUE(agent.waitForLog("BidirectionalFIFO addPrint QMT53-B2", 10s));
    EXPECT_EQ(readFile(listed).find("pellbluetooth://KRV38-A1 "), std::string::npos);
    EXPECT_EQ(root.lpadminCalls().find("QMT53-B2"), std::string::npos);  // no queue, no state

    // The start-up connection and the first queue-list pass may each set the queue online;
    // nothing ever sets one offline: a link is only dropped once its queue is gone.
    root.setQueues({});
    ASSERT_TRUE(agent.waitForLog("Printer KRV38-A1 has been remove at printer list.", 10s));
    ASSERT_TRUE(agent.waitForLog("No queue named KRV38-A1 in the queue list; not setting it offline", 10s));
    EXPECT_NE(readFile(root.path("/agent.out")).find("Printer KRV38-A1 has been removed."), std::string::npos);

    root.setQueueState(kNew, "stopped");  // CUPS made the queue from the device line, not yet enabled
    root.setQueues({kNew});
    ASSERT_TRUE(agent.waitForLog("Connected to QMT53-B2", 15s));
    ASSERT_TRUE(fileGets(root.path("/lpadmin.calls"), "-p QMT53-B2 -o printer-state=3")) << root.lpadminCalls();
    ASSERT_TRUE(fileGets(root.path("/cupsenable.calls"), "QMT53-B2\n"));
    EXPECT_EQ(root.lpadminCalls().find("printer-state=5"), std::string::npos) << readFile(root.path("/agent.out"));
    EXPECT_EQ(lpadminQueues(root), (std::set<std::string>{kQueued, kNew}));
}

// CUPS takes a state change of a queue that is printing for a change of the printer: it kills the
// job's backend and starts the job again, printing it twice. The agent learns the state first
// and leaves a printing queue alone while its printer goes and comes back.
TEST_P(DiscoveryFlow, APrintingQueueIsLeftAloneWhileItsPrinterGoesAndComesBack) {
    DeliveryRig rig({kQueued}, {}, GetParam());
    rig.root.setQueueState(kQueued, "printing");
    ASSERT_TRUE(rig.order(std::string("drop ") + kQueued));
    // Offline at the loss and online at the reconnection are both asked for, and both skipped.
    const auto skips = [&] {
        const std::string log = readFile(rig.root.path("/var/log/cups/pellbluetooth_backend.log"));
        const std::string line = "Queue KRV38-A1 is printing; state left as it is";
        std::size_t count = 0;
        for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return skips() >= 2; }, 15s)) << rig.root.lpadminCalls();
    EXPECT_EQ(rig.root.restarts(), "");
    EXPECT_EQ(rig.root.lpadminCalls().find("printer-state=5"), std::string::npos) << rig.root.lpadminCalls();
}

// `quorvel --list` scans for ten seconds and prints the whitelisted printers in range with
// their addresses, nothing else, and ends.
TEST_P(DiscoveryFlow, ListPrintsTheWhitelistedPrintersInRangeWithTheirAddressesAndExits) {
    TempRoot root;
    const std::string out = root.path("/list.out");
    const RadioRig radio(GetParam(), root, "QMT53-C3,Lamp,HM_E7-D4");
    std::vector<std::string> settings{"PELLBLUETOOTH_ROOT=" + root.root(), "QUORVEL_BLE=sim"};
    for (const auto& setting : radio.agentSettings()) settings.push_back(setting);
    Process list({PB_AGENT_PATH, "--list"}, settings, out, "/dev/null", {}, root.path("/list.err"));
    ASSERT_EQ(list.waitExit(20s), 0);
    const std::regex line("(QMT53-C3|HM_E7-D4) ([0-9A-F]{2}:){5}[0-9A-F]{2}\n");
    const std::string printed = readFile(out);
    std::set<std::string> names;
    for (auto match = std::sregex_iterator(printed.begin(), printed.end(), line); match != std::sregex_iterator(); ++match)
        names.insert((*match)[1]);
    EXPECT_EQ(names, (std::set<std::string>{"QMT53-C3", "HM_E7-D4"})) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 2) << printed;
}

INSTANTIATE_TEST_SUITE_P(Radios, DiscoveryFlow, ::testing::Values(Radio::Simulated, Radio::BlueZ), radioName);

}  // namespace
}  // namespace agenttest
