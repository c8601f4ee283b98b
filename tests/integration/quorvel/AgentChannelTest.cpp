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

// Idle with nothing in range; then a 100 MB command line costs neither memory nor log.
TEST(AgentChannel, AnAgentWithNothingInRangeIdlesAndAHugeCommandCostsNoMemoryNorLog) {
    TempRoot root;
    Agent agent(root, "");  // scanning, with no advertisement to handle
    expectIdle(agent);
    const std::string log = root.path("/var/log/cups/pellbluetooth_backend.log");
    const auto logBefore = readFile(log).size();
    const long kbBefore = agent.process().residentKb();
    const std::string command = root.path("/var/run/cups-bluetooth-write");
    ASSERT_FALSE(pb::writeToFifo(command, "addPrint " + std::string(100u << 20, 'K')));
    ASSERT_TRUE(agent.waitForLog("Command dropped: 104857609 bytes, over the limit of 65536"));
    const long kbAfter = agent.process().residentKb();
    std::printf("agent resident memory: %ld kB before, %ld kB after\n", kbBefore, kbAfter);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(kbAfter, 20 * 1024);  // the sanitizers' own memory would swamp this figure
#endif
    EXPECT_LT(kbAfter - kbBefore, 4 * 1024);
    EXPECT_LT(readFile(log).size() - logBefore, 1u << 20);
}

}  // namespace
}  // namespace agenttest
