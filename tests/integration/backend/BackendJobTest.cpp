// The backend run as CUPS runs it, against a scripted agent: jobs, status words, time-outs.
#include "BackendHarness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace harness;

const std::vector<std::string> kJobArguments = {"pellbluetooth://KRV38-A1B2", "1", "user", "title", "1", "opts"};
constexpr auto kStatusWait = 30s;
constexpr auto kSlack = 10s;

struct Job {
    TempRoot root;
    Backend backend;
    ScriptedAgent agent{root};
    explicit Job(const std::string& input, std::vector<std::string> argv = kJobArguments)
        : backend(root, std::move(argv), input)
    {
    }
};

TEST(BackendJob, SendsTheJobAsHexTextAndEndsWithStatusFinished)
{
    Job job(std::string("\x1b\x40\x0a", 3));
    EXPECT_EQ(job.agent.readCommand(), "doPrint pellbluetooth://KRV38-A1B2");
    EXPECT_EQ(job.agent.readPrintData(), "1b400a");
    ASSERT_TRUE(job.agent.reply("status finished"));
    EXPECT_EQ(job.backend.waitExit(10s), 0);
    EXPECT_NE(job.backend.output().find("Print job finished\n\n"), std::string::npos);
    EXPECT_NE(job.backend.errors().find("INFO: Print job finished\n"), std::string::npos);
    for (const char* line : {"bluetooth start", "setupFIFOs......", "Created FIFO at: ", "bluetooth print job",
                             "Hex string: 1b400a", "Wrote message: doPrint pellbluetooth://KRV38-A1B2",
                             "Wrote print data messa finish", "Print job finished"})
        EXPECT_NE(job.backend.log().find(line), std::string::npos) << line;
    struct stat status {};
    ASSERT_EQ(stat(job.root.path("/var/run/cups-bluetooth").c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0666u);
}

TEST(BackendJob, ZeroByteJobStillSendsDoPrintAndAnEmptyText)
{
    Job job("");
    EXPECT_EQ(job.agent.readCommand(), "doPrint pellbluetooth://KRV38-A1B2");
    EXPECT_EQ(job.agent.readPrintData(), "");
    ASSERT_TRUE(job.agent.reply("status finished"));
    EXPECT_EQ(job.backend.waitExit(10s), 0);
}

TEST(BackendJob, HandStartedWithItsOwnPathFirstUsesTheNextArgumentAsUri)
{
    std::vector<std::string> argv = {"/usr/lib/cups/backend/pellbluetooth"};
    argv.insert(argv.end(), kJobArguments.begin(), kJobArguments.end());
    Job job("x", argv);
    EXPECT_EQ(job.agent.readCommand(), "doPrint pellbluetooth://KRV38-A1B2");
    EXPECT_EQ(job.agent.readPrintData(), "78");
    ASSERT_TRUE(job.agent.reply("status FINISHED"));
    EXPECT_EQ(job.backend.waitExit(10s), 0);
}

TEST(BackendJob, StatusBusyIsAnsweredAndTheJobGoesOnWaiting)
{
    Job job("a");
    ASSERT_TRUE(job.agent.readCommand());
    ASSERT_TRUE(job.agent.readPrintData());
    ASSERT_TRUE(job.agent.reply("status Busy"));
    EXPECT_EQ(job.agent.readCommand(), "status received_busy");
    EXPECT_FALSE(job.backend.waitExit(200ms));
    EXPECT_NE(job.backend.output().find("Printer busy\n\n"), std::string::npos);
    EXPECT_NE(job.backend.errors().find("WARNING: Printer busy"), std::string::npos);
    ASSERT_TRUE(job.agent.reply("status paper_out"));
    ASSERT_TRUE(waitUntil([&] { return job.backend.errors().find("STATE: +media-empty-error") != std::string::npos; }, 5s));
    ASSERT_TRUE(job.agent.reply("status finished"));
    EXPECT_EQ(job.backend.waitExit(10s), 0);
    // A reason the backend set is cleared again before it ends.
    EXPECT_NE(job.backend.errors().find("STATE: -media-empty-error"), std::string::npos);
}

TEST(BackendJob, PairsAfterStatusFinishedAreNotHandled)
{
    Job job("a");
    ASSERT_TRUE(job.agent.readCommand());
    ASSERT_TRUE(job.agent.readPrintData());
    ASSERT_TRUE(job.agent.reply("status finished querycallback KRV38-B "));
    EXPECT_EQ(job.backend.waitExit(10s), 0);
    EXPECT_EQ(job.backend.output().find("direct "), std::string::npos);
}

TEST(BackendJob, StatusErrorEndsWithFailure)
{
    Job job("a");
    ASSERT_TRUE(job.agent.readCommand());
    ASSERT_TRUE(job.agent.readPrintData());
    ASSERT_TRUE(job.agent.reply("status error"));
    EXPECT_EQ(job.backend.waitExit(10s), 1);
    EXPECT_NE(job.backend.output().find("Print job failed\n\n"), std::string::npos);
    EXPECT_NE(job.backend.errors().find("ERROR: Print job failed"), std::string::npos);
}

TEST(BackendJob, FinishedBeforeThePrintDataIsWrittenIsStaleAndIgnored)
{
    Job job("ab");
    ASSERT_TRUE(job.agent.readCommand());
    ASSERT_TRUE(job.agent.reply("status finished"));
    ASSERT_TRUE(waitUntil([&] { return job.backend.log().find("Ignored \"status finished\"") != std::string::npos; }, 5s));
    EXPECT_FALSE(job.backend.waitExit(100ms));
    EXPECT_EQ(job.agent.readPrintData(), "6162");
    ASSERT_TRUE(job.agent.reply("status finished"));
    EXPECT_EQ(job.backend.waitExit(10s), 0);
}

TEST(BackendJob, WithoutAgentLaunchesPostInstallAfterThreeSecondsAndFailsAfterThirty)
{
    Job job("a");
    const std::string marker = job.root.path("/post-install-ran");
    writeFile(job.root.path("/usr/lib/pellbluetooth/postInstall"), "#!/bin/sh\ntouch '" + marker + "'\n", 0755);
    const auto start = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return access(marker.c_str(), F_OK) == 0; }, 10s));
    EXPECT_GE(Clock::now() - start, 2900ms);
    EXPECT_NE(job.backend.log().find("Write operation timed out, launching process..."), std::string::npos);
    EXPECT_EQ(job.backend.waitExit(kStatusWait + kSlack), 1);
    EXPECT_GE(Clock::now() - start, kStatusWait);
    EXPECT_NE(job.backend.output().find("Print job timed out\n\n"), std::string::npos);
    EXPECT_NE(job.backend.errors().find("ERROR: "), std::string::npos);
}

TEST(BackendJob, AgentThatTakesTheJobButNeverAnswersEndsWithSuccessAfterThirtySeconds)
{
    Job job("a");
    const auto start = Clock::now();
    ASSERT_TRUE(job.agent.readCommand());
    ASSERT_TRUE(job.agent.readPrintData());
    EXPECT_EQ(job.backend.waitExit(kStatusWait + kSlack), 0);
    EXPECT_GE(Clock::now() - start, kStatusWait);
    EXPECT_NE(job.backend.log().find("Status not finished within 30 seconds"), std::string::npos);
    EXPECT_NE(job.backend.errors().find("WARNING: Print job timed out"), std::string::npos);
}

TEST(BackendJob, AgentThatTakesOnlyTheCommandFailsTheJob)
{
    Job job("a");
    ASSERT_TRUE(job.agent.readCommand());
    EXPECT_EQ(job.backend.waitExit(kStatusWait + kSlack), 1);
}

// Reads utime + stime (clock ticks) from /proc/<pid>/stat.
long cpuTicks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(content.substr(content.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::stol(field);
        if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

TEST(BackendJob, WaitingForRepliesUsesNoMeasurableCpu)
{
    Job job("a");
    ASSERT_TRUE(job.agent.readCommand());
    ASSERT_TRUE(job.agent.readPrintData());
    // A writer that comes and goes is what made a naive reply loop spin.
    ASSERT_TRUE(job.agent.reply("status busy"));
    ASSERT_TRUE(job.agent.readCommand());
    const long before = cpuTicks(job.backend.pid());
    std::this_thread::sleep_for(3s);  // the measurement window itself, not a wait for an event
    const long used = cpuTicks(job.backend.pid()) - before;
    EXPECT_LE(used, 3) << "clock ticks over 3 s";
}

TEST(BackendJob, MissingChannelIsReportedAndNeverCreatedAsAPlainFile)
{
    TempRoot root(/*withRunFolder=*/false);
    Backend backend(root, kJobArguments, "a");
    ASSERT_TRUE(waitUntil([&] { return backend.log().find("Error writing to FIFO: ") != std::string::npos; }, 10s));
    EXPECT_NE(backend.log().find("Failed to create FIFO: "), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(root.path("/var/run")));
}

TEST(BackendJob, PlainFileAtAChannelPathIsLeftAloneAndNotWrittenTo)
{
    TempRoot root;
    writeFile(root.path("/var/run/cups-bluetooth-write"), "old");
    Backend backend(root, kJobArguments, "a");
    ASSERT_TRUE(waitUntil([&] { return backend.log().find("Error writing to FIFO: ") != std::string::npos; }, 10s));
    EXPECT_NE(backend.log().find("TODO clear FIFO"), std::string::npos);
    EXPECT_EQ(readFile(root.path("/var/run/cups-bluetooth-write")), "old");
}

}  // namespace
