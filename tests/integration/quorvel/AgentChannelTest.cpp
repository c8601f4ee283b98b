// The agent as a process on its FIFO channel: an idle agent's CPU use, the traversal refusal
// and a forwarded argument vector.
#include "AgentHarness.h"

#include "common/Fifo.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

namespace agenttest {
namespace {

constexpr const char* kForwarded = "/usr/libexec/cups/backend/pellbluetooth pellbluetooth://KRV38-A1 42 alice doc 1 ";

bool send(const TempRoot& root, const std::string& text) {
    return !pb::writeToFifo(root.path("/var/run/cups-bluetooth-write"), text);
}

// The agent's CPU time over an idle stretch, in clock ticks, once it has settled.
long idleTicks(Agent& agent) {
    std::this_thread::sleep_for(500ms);
    const long before = agent.process().cpuTicks();
    std::this_thread::sleep_for(3s);
    return agent.process().cpuTicks() - before;
}
const long kIdleTickLimit = sysconf(_SC_CLK_TCK) / 50;  // 20 ms over 3 s

TEST(AgentChannel, AConnectedAgentIdlesRefusesPathsOutsideUsersAndPrintsAForwardedSpoolFile) {
    ConnectedAgent a("KRV38-A1");
    ASSERT_TRUE(a.agent.waitForLog("creditCharacteristic: Printer update credit"));
    EXPECT_LE(idleTicks(a.agent), kIdleTickLimit);

    writeFile(a.root.path("/etc/shadow"), "root:secret:19000::::::\n", 0600);
    std::filesystem::create_directories(a.root.path("/Users/mallory"));
    std::filesystem::create_symlink(a.root.path("/etc"), a.root.path("/Users/mallory/etc"));
    for (const std::string path : {"/Users/../etc/shadow", "/Users/mallory/etc/shadow"}) {
        ASSERT_TRUE(send(a.root, kForwarded + path));
        ASSERT_TRUE(a.agent.waitForLog("Refused to read " + path + ": it does not lie under /Users/"));
    }
    EXPECT_FALSE(a.agent.logHas("do print"));

    // A forwarded vector names its job; the agent reads the job's spool file, not the path given.
    writeFile(a.root.path("/var/spool/cups/d00042-001"), readFile(a.job));
    ASSERT_TRUE(send(a.root, std::string(kForwarded) + "/var/tmp/ignored"));
    ASSERT_TRUE(a.agent.waitForLog("已成功发送所有数据到打印机"));
    EXPECT_TRUE(a.agent.logHas("print jobId 42; filePath " + a.root.path("/var/spool/cups/d00042-001")));
    ASSERT_TRUE(waitUntil([&] { return a.root.printed("KRV38-A1") == readFile(a.job); }, 10s));
}

TEST(AgentChannel, AnAgentWithNothingInRangeIdles) {
    TempRoot root;
    Agent agent(root, "");  // scanning, with no advertisement to handle
    EXPECT_LE(idleTicks(agent), kIdleTickLimit);
}

}  // namespace
}  // namespace agenttest
