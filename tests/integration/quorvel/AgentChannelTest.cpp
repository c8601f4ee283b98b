// The agent as a process on its FIFO channel: an idle agent's CPU use, a forwarded argument
// vector (the paths it refuses are the orchestrator's unit test), limits, and what a local user
// who is neither root nor in the lp group can do to the channels: nothing.
#include "AgentHarness.h"

#include "common/Fifo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

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

// Options are answered without starting the agent; anything else is a usage error.
TEST(AgentChannel, OptionsAreAnsweredWithoutStartingTheAgent) {
    TempRoot root;
    const auto run = [&](std::vector<std::string> argv) {
        argv.insert(argv.begin(), PB_AGENT_PATH);
        Process agent(argv, {"PELLBLUETOOTH_ROOT=" + root.root()}, root.path("/options.out"));
        return agent.waitExit(5s);
    };
    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_EQ(run({"--version"}), 0);
    EXPECT_EQ(run({"--bogus"}), 2);
    EXPECT_EQ(run({"--list", "more"}), 2);
    const std::string out = readFile(root.path("/options.out"));
    EXPECT_NE(out.find("usage: quorvel [--list | --help | --version]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("quorvel: unknown option --bogus\n"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(root.path("/var/log/cups/pellbluetooth_backend.log")));
}

// Idle with nothing in range; a 100 MB command line costs neither memory nor log; and the
// scan nobody needs ends.
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
    // Nothing needs the scan (no queue waits for its printer, no job, no listing): it ends.
    EXPECT_TRUE(agent.waitForLog("Scan stopped: nothing has asked for it for 15 seconds", 20s));
}

// Run as root (as CI runs): a child that becomes user nobody tries every channel, the lock and
// the logs, for reading and for writing; each open must be refused for want of permission.
TEST(AgentChannel, ALocalUserCanNeitherWriteNorReadAnyChannelLockOrLog) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    DeliveryRig rig({"KRV38-A1"});
    BackendJob first(rig.root, "KRV38-A1", rig.writeJob(1, 500), 1);  // the backend makes its channels
    ASSERT_EQ(first.waitExit(30s), 0) << first.output();
    // The way there must be open to everyone, so that only the channels' own modes refuse.
    for (const char* folder : {"", "/var", "/var/run", "/var/log", "/var/log/cups"})
        chmod(rig.root.path(folder).c_str(), 0755);
    chmod(rig.root.path("/tmp").c_str(), 01777);
    std::vector<std::string> paths;
    for (const char* path : {"/var/run/cups-bluetooth-write", "/var/run/cups-bluetooth", "/tmp/cups-bluetooth-read",
                             "/var/run/cups-bluetooth.lock", "/var/log/cups/pellbluetooth.log",
                             "/var/log/cups/pellbluetooth_backend.log"})
        paths.push_back(rig.root.path(path));
    const pid_t child = fork();  // the child makes only system calls
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(100);
        for (std::size_t index = 0; index < paths.size(); ++index)
            for (int flags : {O_WRONLY | O_NONBLOCK, O_RDONLY | O_NONBLOCK}) {
                const int fd = ::open(paths[index].c_str(), flags);
                if (fd >= 0 || errno != EACCES) _exit(static_cast<int>(index) + 1);
            }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << (WEXITSTATUS(status) > 0 && WEXITSTATUS(status) <= static_cast<int>(paths.size())
                                              ? paths[static_cast<std::size_t>(WEXITSTATUS(status)) - 1] : "setup failed");
}

// While the agent starts again and again, someone keeps putting a link to a private file at
// the reply channel's path: the file's mode never changes, and it never becomes a channel.
TEST(AgentChannel, ALinkPlantedAtTheReplyPathWhileTheAgentStartsIsNeverFollowed) {
    TempRoot root;
    const std::string secret = root.path("/etc/secret"), reply = root.path("/tmp/cups-bluetooth-read");
    writeFile(secret, "private\n", 0600);
    std::atomic<bool> planting{true};
    std::thread planter([&] {
        while (planting) {
            ::unlink(reply.c_str());
            (void)::symlink(secret.c_str(), reply.c_str());
        }
    });
    for (int start = 0; start < 50; ++start) {
        Agent agent(root, "");
    }
    planting = false;
    planter.join();
    struct stat status {};
    ASSERT_EQ(lstat(secret.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(secret), "private\n");
}

}  // namespace
}  // namespace agenttest
