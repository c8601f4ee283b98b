// The agent as a process on its FIFO channel: an idle agent's CPU use and a forwarded argument
// vector (the paths it refuses are the orchestrator's unit test).
#include "AgentHarness.h"

#include "common/Fifo.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

namespace agenttest {
namespace {

// The agent's CPU time over an idle stretch, in clock ticks, once it has settled.
void expectIdle(Agent& agent) {
    std::this_thread::sleep_for(500ms);
    const long before = agent.process().cpuTicks();
    std::this_thread::sleep_for(3s);
    EXPECT_LE(agent.process().cpuTicks() - before, sysconf(_SC_CLK_TCK) / 50);  // 20 ms over 3 s
}

TEST(AgentChannel, AConnectedAgentIdlesAndPrintsTheSpoolFileOfAForwardedVector) {
    DeliveryRig rig({"KRV38-A1"});
    ASSERT_TRUE(rig.agent().waitForLog("creditCharacteristic: Printer update credit"));
    expectIdle(rig.agent());
    // A forwarded vector names its job; the agent reads the job's spool file, not the path given.
    const std::string job = readFile(rig.writeJob(1, 3000));
    writeFile(rig.root.path("/var/spool/cups/d00042-001"), job);
    ASSERT_FALSE(pb::writeToFifo(rig.root.path("/var/run/cups-bluetooth-write"),
                                 "/usr/libexec/cups/backend/pellbluetooth pellbluetooth://KRV38-A1 42 alice doc 1 "
                                 "/var/tmp/ignored"));
    ASSERT_TRUE(rig.agent().waitForLog("已成功发送所有数据到打印机"));
    EXPECT_TRUE(rig.agent().logHas("print jobId 42; filePath " + rig.root.path("/var/spool/cups/d00042-001")));
    ASSERT_TRUE(waitUntil([&] { return rig.printed("KRV38-A1") == job; }, 10s));
}

TEST(AgentChannel, AnAgentWithNothingInRangeIdles) {
    TempRoot root;
    Agent agent(root, "");  // scanning, with no advertisement to handle
    expectIdle(agent);
}

}  // namespace
}  // namespace agenttest
