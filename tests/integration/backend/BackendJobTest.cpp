// The backend run as CUPS runs it, against a scripted agent: jobs, status words, time-outs.
#include "BackendHarness.h"

#include <gtest/gtest.h>

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
    bool has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }
    // The agent takes the job: reads the command and the print data.
    void take()
    {
        ASSERT_TRUE(agent.readCommand());
        ASSERT_TRUE(agent.readPrintData());
    }
};

// The job the agent is handed (as hex text), how the backend was started, and the reply ending it.
struct HandOver {
    std::string name, input, hexText;
    bool handStarted;  // the backend's own path before the URI
    std::string finalReply;
};

class BackendHandOver : public ::testing::TestWithParam<HandOver> {};

TEST_P(BackendHandOver, SendsDoPrintAndTheJobAsHexTextAndEndsWithZero)
{
    std::vector<std::string> argv = kJobArguments;
    if (GetParam().handStarted)
        argv.insert(argv.begin(), "/usr/lib/cups/backend/pellbluetooth");
    Job job(GetParam().input, argv);
    EXPECT_EQ(job.agent.readCommand(), "doPrint pellbluetooth://KRV38-A1B2");
    EXPECT_EQ(job.agent.readPrintData(), GetParam().hexText);
    ASSERT_TRUE(job.agent.reply(GetParam().finalReply));
    EXPECT_EQ(job.backend.waitExit(10s), 0);
    EXPECT_TRUE(job.has(job.backend.output(), "Print job finished\n\n"));
    EXPECT_TRUE(job.has(job.backend.errors(), "INFO: Print job finished\n"));
    // Pairs after "status finished" are not handled.
    EXPECT_FALSE(job.has(job.backend.output(), "direct "));
    for (const std::string line : {"bluetooth start", "setupFIFOs......", "Created FIFO at: ", "bluetooth print job",
                                   "Wrote message: doPrint pellbluetooth://KRV38-A1B2", "Wrote print data messa finish"})
        EXPECT_TRUE(job.has(job.backend.log(), line)) << line;
    EXPECT_TRUE(job.has(job.backend.log(), "Hex string: " + GetParam().hexText + "\n"));
    struct stat status {};
    ASSERT_EQ(stat(job.root.path("/var/run/cups-bluetooth").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0666u);
}

INSTANTIATE_TEST_SUITE_P(Jobs, BackendHandOver,
                         ::testing::Values(HandOver{"Escape", std::string("\x1b\x40\x0a", 3), "1b400a", false, "status finished"},
                                           HandOver{"ZeroBytes", "", "", false, "status finished"},
                                           HandOver{"HandStarted", "x", "78", true, "status FINISHED"},
                                           HandOver{"PairsAfterFinished", "a", "61", false, "status finished querycallback KRV38-B "}),
                         [](const auto& info) { return info.param.name; });

TEST(BackendJob, StatusBusyIsAnsweredAndPaperOutIsClearedAtTheEnd)
{
    Job job("a");
    job.take();
    ASSERT_TRUE(job.agent.reply("status Busy"));
    EXPECT_EQ(job.agent.readCommand(), "status received_busy");
    EXPECT_FALSE(job.backend.waitExit(200ms));
    EXPECT_TRUE(job.has(job.backend.output(), "Printer busy\n\n"));
    EXPECT_TRUE(job.has(job.backend.errors(), "WARNING: Printer busy"));
    ASSERT_TRUE(job.agent.reply("status paper_out"));
    ASSERT_TRUE(waitUntil([&] { return job.has(job.backend.errors(), "STATE: +media-empty-error"); }, 5s));
    ASSERT_TRUE(job.agent.reply("status finished"));
    EXPECT_EQ(job.backend.waitExit(10s), 0);
    EXPECT_TRUE(job.has(job.backend.errors(), "STATE: -media-empty-error"));
}

TEST(BackendJob, StatusErrorEndsWithFailure)
{
    Job job("a");
    job.take();
    ASSERT_TRUE(job.agent.reply("status error"));
    EXPECT_EQ(job.backend.waitExit(10s), 1);
    EXPECT_TRUE(job.has(job.backend.output(), "Print job failed\n\n"));
    EXPECT_TRUE(job.has(job.backend.errors(), "ERROR: Print job failed"));
}

TEST(BackendJob, FinishedBeforeThePrintDataIsWrittenIsStaleAndIgnored)
{
    Job job("ab");
    ASSERT_TRUE(job.agent.readCommand());
    ASSERT_TRUE(job.agent.reply("status finished"));
    ASSERT_TRUE(waitUntil([&] { return job.has(job.backend.log(), "Ignored \"status finished\""); }, 5s));
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
    EXPECT_TRUE(job.has(job.backend.log(), "Write operation timed out, launching process..."));
    EXPECT_EQ(job.backend.waitExit(kStatusWait + kSlack), 1);
    EXPECT_GE(Clock::now() - start, kStatusWait);
    EXPECT_TRUE(job.has(job.backend.output(), "Print job timed out\n\n"));
    EXPECT_TRUE(job.has(job.backend.errors(), "ERROR: "));
}

TEST(BackendJob, AgentThatTakesTheJobButNeverAnswersEndsWithSuccessAfterThirtySeconds)
{
    Job job("a");
    const auto start = Clock::now();
    job.take();
    EXPECT_EQ(job.backend.waitExit(kStatusWait + kSlack), 0);
    EXPECT_GE(Clock::now() - start, kStatusWait);
    EXPECT_TRUE(job.has(job.backend.log(), "Status not finished within 30 seconds"));
    EXPECT_TRUE(job.has(job.backend.errors(), "WARNING: Print job timed out"));
}

TEST(BackendJob, AgentThatTakesOnlyTheCommandFailsTheJob)
{
    Job job("a");
    ASSERT_TRUE(job.agent.readCommand());
    EXPECT_EQ(job.backend.waitExit(kStatusWait + kSlack), 1);
}

TEST(BackendJob, WaitingForRepliesUsesNoMeasurableCpu)
{
    Job job("a");
    job.take();
    // A writer that comes and goes is what made a naive reply loop spin.
    ASSERT_TRUE(job.agent.reply("status busy"));
    ASSERT_TRUE(job.agent.readCommand());
    // utime + stime in clock ticks: fields 14 and 15 of /proc/<pid>/stat.
    auto cpuTicks = [&] {
        const std::string stat = readFile("/proc/" + std::to_string(job.backend.pid()) + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string skip;
        long utime = 0, stime = 0;
        for (int index = 3; index < 14; ++index)
            fields >> skip;
        fields >> utime >> stime;
        return utime + stime;
    };
    const long before = cpuTicks();
    std::this_thread::sleep_for(3s);  // the measurement window itself, not a wait for an event
    EXPECT_LE(cpuTicks() - before, 3) << "clock ticks over 3 s";
}

}  // namespace
