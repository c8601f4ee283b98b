// The agent as a process on its FIFO channel: forwarded argument vectors, the traversal
// refusal, and an idle agent's CPU use.
#include "AgentHarness.h"

#include "common/Fifo.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace agenttest {
namespace {

constexpr const char* kPrinter = "KRV38-A1";
constexpr const char* kForwarded = "/usr/libexec/cups/backend/pellbluetooth pellbluetooth://KRV38-A1 42 alice doc 1 ";

bool send(const TempRoot& root, const std::string& text) {
    return !pb::writeToFifo(root.path("/var/run/cups-bluetooth-write"), text);
}

TEST(AgentChannel, AForwardedVectorPrintsTheSpoolFileOfItsJob) {
    TempRoot root;
    root.setQueues({kPrinter});
    Agent agent(root, kPrinter);
    ASSERT_TRUE(agent.waitForLog("Connected to KRV38-A1"));
    const std::string job = filteredJob(root, kPrinter, 1);
    writeFile(root.path("/var/spool/cups/d00042-001"), readFile(job));

    ASSERT_TRUE(send(root, std::string(kForwarded) + "/var/tmp/ignored"));
    ASSERT_TRUE(agent.waitForLog("已成功发送所有数据到打印机"));
    EXPECT_TRUE(agent.logHas("print jobId 42; filePath " + root.path("/var/spool/cups/d00042-001")));
    ASSERT_TRUE(waitUntil([&] { return readFile(root.printerFolder(kPrinter) + "/stream.bin") == readFile(job); }, 10s));
}

TEST(AgentChannel, AForwardedPathThatLeavesUsersIsRefusedAndNothingIsRead) {
    TempRoot root;
    root.setQueues({kPrinter});
    Agent agent(root, kPrinter);
    ASSERT_TRUE(agent.waitForLog("Connected to KRV38-A1"));
    writeFile(root.path("/etc/shadow"), "root:secret:19000::::::\n", 0600);
    std::filesystem::create_directories(root.path("/Users/mallory"));
    std::filesystem::create_symlink(root.path("/etc"), root.path("/Users/mallory/etc"));

    ASSERT_TRUE(send(root, std::string(kForwarded) + "/Users/../etc/shadow"));
    ASSERT_TRUE(agent.waitForLog("Refused to read /Users/../etc/shadow: it does not lie under /Users/"));
    ASSERT_TRUE(send(root, std::string(kForwarded) + "/Users/mallory/etc/shadow"));
    ASSERT_TRUE(agent.waitForLog("Refused to read /Users/mallory/etc/shadow: it does not lie under /Users/"));
    EXPECT_FALSE(agent.logHas("do print"));
    EXPECT_FALSE(std::filesystem::exists(root.printerFolder(kPrinter) + "/stream.bin") &&
                 readFile(root.printerFolder(kPrinter) + "/stream.bin").find("secret") != std::string::npos);
}

// The agent's CPU time over an idle stretch, in clock ticks.
long idleTicks(Agent& agent) {
    const long before = agent.process().cpuTicks();
    std::this_thread::sleep_for(3s);
    return agent.process().cpuTicks() - before;
}

TEST(AgentChannel, AnIdleAgentUsesNoMeasurableCpu) {
    const long tickLimit = sysconf(_SC_CLK_TCK) / 50;  // 20 ms over 3 s
    {
        // Connected to its printer, waiting for jobs.
        TempRoot root;
        root.setQueues({kPrinter});
        Agent agent(root, kPrinter);
        ASSERT_TRUE(agent.waitForLog("creditCharacteristic: Printer update credit"));
        std::this_thread::sleep_for(500ms);
        EXPECT_LE(idleTicks(agent), tickLimit);
    }
    {
        // Nothing in range: scanning with no advertisement to handle.
        TempRoot root;
        Agent agent(root, "");
        std::this_thread::sleep_for(500ms);
        EXPECT_LE(idleTicks(agent), tickLimit);
    }
}

}  // namespace
}  // namespace agenttest
