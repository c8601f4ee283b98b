// The built backend run as CUPS runs it, in a temporary root, against a scripted agent end of
// the FIFO channel (and a scripted lpstat): jobs, status words, time-outs and device listing.
#include "support/Process.h"
#include "support/TempRoot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using pbtest::Clock;
using pbtest::readFile;
using pbtest::waitUntil;

const std::vector<std::string> kJobArguments = {"pellbluetooth://KRV38-A1B2", "1", "user", "title", "1", "opts"};
constexpr auto kStatusWait = 30s;
constexpr auto kSlack = 10s;

bool has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

// Makes the folders on the way too.
void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    pbtest::writeFile(path, content, mode);
}

// A temporary root (tests/support/) with the reply channel the agent makes, and without the
// channel folder when asked; removed with the last backend run in it.
struct TestRoot : pbtest::TempRoot {
    explicit TestRoot(bool withRunFolder)
    {
        if (!withRunFolder)
            std::filesystem::remove_all(path("/var/run"));
        mkfifo(path("/tmp/cups-bluetooth-read").c_str(), 0600);
    }
    int runs = 0;
};

// The backend started with `argv` (argv[0] as CUPS gives it) and the job bytes `input` on
// standard input, in a temporary root of its own or in another run's (sharing its channels,
// lock and log); standard output and error go to files of its own under the root. The agent's
// end is scripted through readCommand, readPrintData and reply, each waiting at most `limit`.
class BackendRun {
public:
    explicit BackendRun(const std::string& input, std::vector<std::string> argv = kJobArguments, bool withRunFolder = true)
        : BackendRun(std::make_shared<TestRoot>(withRunFolder), input, std::move(argv))
    {
    }
    BackendRun(const BackendRun& sameRoot, const std::string& input, std::vector<std::string> argv = kJobArguments)
        : BackendRun(sameRoot.rootFolder_, input, std::move(argv))
    {
    }
    std::string path(const std::string& absolute) const { return rootFolder_->path(absolute); }

    // The exit status once it ended within `limit`; nullopt if it still runs.
    std::optional<int> waitExit(Clock::duration limit) { return process_->waitExit(limit); }
    std::string output() const { return readFile(path("/stdout" + own_)); }
    std::string errors() const { return readFile(path("/stderr" + own_)); }
    std::string log() const { return readFile(path("/var/log/cups/pellbluetooth.log")); }
    pbtest::Process& process() { return *process_; }

    // One writer's text on the command channel (to its end of file); nullopt on time-out.
    std::optional<std::string> readCommand(Clock::duration limit = 10s) { return readOneWriter("-write", limit); }
    std::optional<std::string> readPrintData(Clock::duration limit = 10s) { return readOneWriter("", limit); }
    // Writes `text` on the reply channel once the backend reads it; false on time-out.
    bool reply(const std::string& text, Clock::duration limit = 10s)
    {
        int fd = -1;
        // A non-blocking open for writing fails with ENXIO until a reader has the FIFO open.
        const std::string channel = path("/tmp/cups-bluetooth-read");
        if (!waitUntil([&] { return (fd = open(channel.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, limit))
            return false;
        fcntl(fd, F_SETFL, 0);  // one blocking write, however long the text
        const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        return written;
    }

private:
    BackendRun(std::shared_ptr<TestRoot> root, const std::string& input, std::vector<std::string> argv)
        : rootFolder_(std::move(root)), own_(std::to_string(++rootFolder_->runs))
    {
        writeFile(path("/job-input" + own_), input);
        process_.emplace(std::move(argv), std::vector<std::string>{"PELLBLUETOOTH_ROOT=" + rootFolder_->root()},
                         path("/stdout" + own_), path("/job-input" + own_), PB_BACKEND_PATH, path("/stderr" + own_));
    }

    std::optional<std::string> readOneWriter(const std::string& suffix, Clock::duration limit)
    {
        const auto deadline = Clock::now() + limit;
        const std::string channel = path("/var/run/cups-bluetooth" + suffix);
        struct stat status {};
        if (!waitUntil([&] { return stat(channel.c_str(), &status) == 0 && S_ISFIFO(status.st_mode); }, limit))
            return std::nullopt;
        // Opened without waiting; poll() reports the writer's data and then its close (POLLHUP
        // is only raised once a writer has come and gone).
        const int fd = open(channel.c_str(), O_RDONLY | O_NONBLOCK);
        std::optional<std::string> text(fd >= 0 ? std::optional<std::string>("") : std::nullopt);
        for (char chunk[65536]; text;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd entry{fd, POLLIN, 0};
            const ssize_t count = left > 0 && poll(&entry, 1, static_cast<int>(left)) > 0 ? read(fd, chunk, sizeof chunk) : -2;
            if (count > 0)
                text->append(chunk, static_cast<std::size_t>(count));
            else if (count == -2)
                text.reset();
            else if (count == 0 || (entry.revents & POLLHUP))
                break;
        }
        if (fd >= 0)
            close(fd);
        return text;
    }

    // The process comes last: it is killed before its root is removed.
    std::shared_ptr<TestRoot> rootFolder_;
    std::string own_;  // tells this run's files from the other runs' in the root
    std::optional<pbtest::Process> process_;
};

// The job the agent is handed (as hex text), how the backend was started, the reply ending it,
// the backend's exit status, the lines CUPS gets (one block) and a log line to find.
struct HandOver {
    std::string name, input, hexText;
    bool handStarted;  // the backend's own path before the URI
    std::string finalReply;
    int exitStatus;
    std::string cupsLines, logLine = {};
};

void PrintTo(const HandOver& c, std::ostream* out) { *out << c.name; }  // not the bytes of the struct
class BackendHandOver : public ::testing::TestWithParam<HandOver> {};

TEST_P(BackendHandOver, SendsDoPrintAndTheJobAsHexTextAndEndsAsTheStatusSays)
{
    const HandOver& c = GetParam();
    std::vector<std::string> argv = kJobArguments;
    if (c.handStarted)
        argv.insert(argv.begin(), "/usr/lib/cups/backend/pellbluetooth");
    BackendRun job(c.input, argv);
    EXPECT_EQ(job.readCommand(), "doPrint pellbluetooth://KRV38-A1B2 length=" + std::to_string(c.hexText.size()));
    EXPECT_EQ(job.readPrintData(), c.hexText);
    ASSERT_TRUE(job.reply(c.finalReply));
    EXPECT_EQ(job.waitExit(10s), c.exitStatus);
    EXPECT_TRUE(has(job.errors(), c.cupsLines)) << job.errors();
    if (c.exitStatus <= 1) {
        const std::string outcome = c.exitStatus == 0 ? "Print job finished" : "Print job failed";
        EXPECT_TRUE(has(job.output(), outcome + "\n\n"));
    }
    // Pairs after "status finished" are not handled, and a job run answers no discovery report.
    EXPECT_FALSE(has(job.output(), "direct "));
    for (const std::string& line : std::vector<std::string>{"bluetooth start", "setupFIFOs......", "Created FIFO at: ",
                                                            "bluetooth print job", "Wrote message: doPrint pellbluetooth://KRV38-A1B2",
                                                            "Wrote print data messa finish", "Hex string: " + c.hexText + "\n", c.logLine})
        EXPECT_TRUE(has(job.log(), line)) << line;
    EXPECT_FALSE(has(job.log(), "addPrint"));
    for (const char* channel : {"/var/run/cups-bluetooth", "/var/run/cups-bluetooth.lock"}) {
        struct stat status {};
        ASSERT_EQ(stat(job.path(channel).c_str(), &status), 0) << channel;
        EXPECT_EQ(status.st_mode & 0777, 0660u) << channel;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, BackendHandOver,
    ::testing::Values(
        HandOver{"Escape", std::string("\x1b\x40\x0a", 3), "1b400a", false, "status finished", 0, "INFO: Print job finished\n"},
        HandOver{"ZeroBytes", "", "", false, "status finished", 0, "INFO: Print job finished\n"},
        HandOver{"HandStarted", "x", "78", true, "status FINISHED", 0, "INFO: Print job finished\n"},
        HandOver{"PairsAfterFinished", "a", "61", false, "status finished querycallback KRV38-B ", 0, "INFO: Print job finished\n"},
        HandOver{"StatusError", "a", "61", false, "status error", 1, "ERROR: Print job failed\n"},
        HandOver{"NotInRange", "a", "61", false, "status queued status connecting status connecting status not_in_range ", 6,
                 "INFO: Waiting for earlier jobs to the printer\nINFO: Waiting for the printer to come in range\n"
                 "INFO: The printer is not in range; the job will be retried\n"},
        // Repeated reports repeat no line; a malformed detail is logged and left out.
        HandOver{"Progress", "a", "61", false,
                 "querycallback KRV38-C status sending progress 0/200 pages 0 status sending progress 50/200 pages 1 "
                 "status sending progress 50/200 pages 1 status sending progress 9/x pages 2 status finished",
                 0,
                 "INFO: Sending to the printer: 0% (0 of 200 bytes)\n"
                 "INFO: Sending to the printer: 25% (50 of 200 bytes)\nATTR: job-impressions-completed=1\n"
                 "ATTR: job-impressions-completed=2\nINFO: Print job finished\n",
                 "Discovery report for KRV38-C ignored: this run prints a job"}),
    [](const auto& info) { return info.param.name; });

TEST(BackendJob, StaleFinishedIsIgnoredBusyIsAnsweredWaitingUsesNoCpuAndPaperOutIsClearedAtTheEnd)
{
    BackendRun job("ab");
    ASSERT_TRUE(job.readCommand());
    // A "finished" or a report before the print data is written is about some earlier job.
    ASSERT_TRUE(job.reply("status finished"));
    ASSERT_TRUE(waitUntil([&] { return has(job.log(), "Ignored \"status finished\""); }, 5s));
    ASSERT_TRUE(job.reply("status not_in_range "));
    ASSERT_TRUE(waitUntil([&] { return has(job.log(), "Ignored \"status not_in_range\""); }, 5s));
    EXPECT_EQ(job.readPrintData(), "6162");
    // A writer that comes and goes is what made a naive reply loop spin.
    ASSERT_TRUE(job.reply("status Busy"));
    EXPECT_EQ(job.readCommand(), "status received_busy");
    const long before = job.process().cpuTicks();
    std::this_thread::sleep_for(3s);  // the measurement window itself, not a wait for an event
    EXPECT_LE(job.process().cpuTicks() - before, 3) << "clock ticks over 3 s";
    EXPECT_FALSE(job.waitExit(0s));
    EXPECT_TRUE(has(job.output(), "Printer busy\n\n"));
    EXPECT_TRUE(has(job.errors(), "WARNING: Printer busy"));
    ASSERT_TRUE(job.reply("status paper_out"));
    ASSERT_TRUE(waitUntil([&] { return has(job.errors(), "STATE: +media-empty-error"); }, 5s));
    ASSERT_TRUE(job.reply("status finished"));
    EXPECT_EQ(job.waitExit(10s), 0);
    EXPECT_TRUE(has(job.errors(), "STATE: -media-empty-error"));
}

// A job over 256 MB would only be refused by the agent: it is cancelled before any hand-over.
TEST(BackendJob, AJobOverTheLimitIsCancelledWithoutBeingHandedOver)
{
    BackendRun job(std::string((256u << 20) + 1, '\0'));
    EXPECT_EQ(job.waitExit(60s), 5);
    EXPECT_TRUE(has(job.errors(), "ERROR: The job is larger than 256 MB; it was not printed\n")) << job.errors();
    EXPECT_FALSE(job.readCommand(100ms));
}

// Four jobs side by side share one 30-second wait: no agent at all, an agent that takes the job
// and never answers, one that takes only the command (the print-data write must not hold up
// the wait), and a root without the channel folder.
TEST(BackendJob, UnansweredJobsEndWhenTheStatusWaitRunsOut)
{
    BackendRun silent("a");
    const auto start = Clock::now();
    const std::string marker = silent.path("/post-install-ran");
    writeFile(silent.path("/usr/lib/pellbluetooth/postInstall"), "#!/bin/sh\ntouch '" + marker + "'\n", 0755);
    BackendRun taken("a"), commandOnly("a"), noChannels("a", kJobArguments, false);
    ASSERT_TRUE(taken.readCommand() && taken.readPrintData());
    ASSERT_TRUE(commandOnly.readCommand());
    ASSERT_TRUE(waitUntil([&] { return access(marker.c_str(), F_OK) == 0; }, 10s));
    EXPECT_GE(Clock::now() - start, 2900ms);
    EXPECT_TRUE(has(silent.log(), "Write operation timed out, launching process..."));

    EXPECT_EQ(silent.waitExit(kStatusWait + kSlack), 1);
    EXPECT_GE(Clock::now() - start, kStatusWait);
    EXPECT_TRUE(has(silent.output(), "Print job timed out\n\n"));
    EXPECT_TRUE(has(silent.errors(), "ERROR: "));
    EXPECT_EQ(taken.waitExit(kSlack), 0);
    EXPECT_TRUE(has(taken.log(), "Status not finished within 30 seconds"));
    EXPECT_TRUE(has(taken.errors(), "WARNING: Print job timed out"));
    EXPECT_EQ(commandOnly.waitExit(kSlack), 1);
    EXPECT_EQ(noChannels.waitExit(kSlack), 1);
    // Each failed write is one line naming its channel; neither channel becomes a plain file.
    const std::string log = noChannels.log();
    for (const std::string channel : {"/var/run/cups-bluetooth-write: ", "/var/run/cups-bluetooth: "}) {
        const std::size_t at = log.find("Error writing to FIFO: " + noChannels.path(channel));
        EXPECT_NE(at, std::string::npos) << channel;
        EXPECT_EQ(log.find("Error writing to FIFO: " + noChannels.path(channel), at + 1), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(noChannels.path("/var/run")));
}

// Reports every 2 s hold the job past the 30-second wait; once they stop, 10 s of silence
// take the agent for dead and the job is retried.
TEST(BackendJob, ReportsKeepAJobWaitingPastTheStatusWaitUntilTheAgentFallsSilent)
{
    constexpr auto kSilenceLimit = 10s;
    BackendRun job("a");
    ASSERT_TRUE(job.readCommand() && job.readPrintData());
    const auto start = Clock::now();
    auto lastReport = start;
    for (int sent = 0; Clock::now() - start < kStatusWait + 4s; sent += 10) {
        ASSERT_TRUE(job.reply("status sending progress " + std::to_string(sent) + "/1000 pages 0 "));
        lastReport = Clock::now();
        ASSERT_FALSE(job.waitExit(2s)) << job.errors();  // also the agent's pace
    }
    EXPECT_TRUE(has(job.log(), "The status wait is over, but the agent reports on the job"));
    EXPECT_EQ(job.waitExit(kSilenceLimit + kSlack), 6);
    EXPECT_GE(Clock::now() - lastReport, kSilenceLimit - 500ms);
    EXPECT_TRUE(has(job.errors(), "ERROR: The Bluetooth agent stopped reporting on the job; it will be retried\n"));
    EXPECT_FALSE(has(job.errors(), "timed out"));
}

std::vector<std::string> deviceLines(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);)
        if (line.rfind("direct ", 0) == 0)
            lines.push_back(line);
    return lines;
}

TEST(BackendListing, PrintsSafeDeviceLinesAnnouncesPrintersLaterAndHoldsTheChannelForItsWindowFromAJobThatIsThenCancelled)
{
    constexpr auto kListingWindow = 5s;
    BackendRun backend("", {"/usr/lib/cups/backend/pellbluetooth"});
    const std::string seenLocale = backend.path("/lpstat-locale");
    writeFile(backend.path("/usr/bin/lpstat"),
              "#!/bin/sh\necho \"$LC_ALL $1\" > '" + seenLocale + "'\necho 'device for KRV38-A1: pellbluetooth://KRV38-A1'\n", 0755);
    EXPECT_EQ(backend.readCommand(), "query bluetoothdevice");
    const auto sent = Clock::now();
    BackendRun job(backend, "a");
    ASSERT_TRUE(waitUntil([&] { return has(job.errors(), "INFO: Waiting for another job to finish sending to the printers\n"); }, 10s));

    ASSERT_TRUE(backend.reply("querycallback KRV38-A1B2 querycallback \tQMT53H-7\n "));
    ASSERT_TRUE(waitUntil([&] { return deviceLines(backend.output()).size() == 2; }, 5s));
    // A name with a line feed inside could forge a second device line.
    ASSERT_TRUE(backend.reply("querycallback Evil\ndirect querycallback Bad\"Quote querycallback no-model-9 "));
    ASSERT_TRUE(waitUntil([&] { return deviceLines(backend.output()).size() == 3; }, 5s)) << backend.output();
    EXPECT_EQ(deviceLines(backend.output()), (std::vector<std::string>{
                                                 R"(direct pellbluetooth://KRV38-A1B2 "KRV38" "KRV38-A1B2" "MFG:Pell;MDL:KRV38;CMD:ESC/POS;")",
                                                 R"(direct pellbluetooth://QMT53H-7 "QMT53" "QMT53H-7" "MFG:Pell;MDL:QMT53;CMD:ESC/POS;")",
                                                 R"(direct pellbluetooth://no-model-9 "Pelltandle" "no-model-9" "MFG:Pell;MDL:Pelltandle;CMD:ESC/POS;")",
                                             }));
    EXPECT_TRUE(has(backend.log(), R"(refused the printer name "Evil\x0adirect": the name holds the control or invisible character U+000A)"));
    EXPECT_NE(backend.log().find("Bad\\x22Quote"), std::string::npos);

    // The three announcements, each in its own write (they may reach us joined, and writes due
    // at the same moment in either order).
    std::string commands;
    const auto announced = [&](const char* name) { return commands.find(std::string("addPrint ") + name + " ") != std::string::npos; };
    while (!announced("KRV38-A1B2") || !announced("QMT53H-7") || !announced("no-model-9")) {
        auto text = backend.readCommand(10s);
        ASSERT_TRUE(text) << "announcements so far: " << commands;
        EXPECT_TRUE(!commands.empty() || Clock::now() - sent >= 1900ms) << "announced too early";
        commands += *text;
    }
    EXPECT_EQ(commands.size(), std::string("addPrint KRV38-A1B2 addPrint QMT53H-7 addPrint no-model-9 ").size());

    // "status start" queries again when lpstat (run in the C locale) shows a queue of a served model.
    ASSERT_TRUE(backend.reply("status start"));
    EXPECT_EQ(backend.readCommand(), "query bluetoothdevice");
    EXPECT_EQ(readFile(seenLocale), "C -v\n");
    // No queues: lpstat complains on its standard error and fails, which is simply no match.
    writeFile(backend.path("/usr/bin/lpstat"), "#!/bin/sh\necho 'lpstat: No destinations added.' >&2\nexit 1\n", 0755);
    ASSERT_TRUE(backend.reply("status start"));
    EXPECT_FALSE(backend.readCommand(1000ms));
    EXPECT_EQ(backend.output().find("lpstat: No destinations"), std::string::npos);

    // The window over, the listing gives the channel to the job that waits for it; SIGTERM
    // once the job is handed over cancels it.
    EXPECT_EQ(backend.waitExit(kListingWindow + kSlack), 0);
    EXPECT_GE(Clock::now() - sent, kListingWindow - 500ms);
    EXPECT_TRUE(has(backend.log(), "Listing ended: every announcement is sent"));
    // Standard output is CUPS's device list: device lines only, the log went to standard error.
    const std::string deviceList = backend.output();
    EXPECT_EQ(deviceLines(deviceList).size(), 3u);
    EXPECT_EQ(std::count(deviceList.begin(), deviceList.end(), '\n'), 3) << deviceList;
    EXPECT_EQ(job.readCommand(), "doPrint pellbluetooth://KRV38-A1B2 length=2");
    EXPECT_EQ(job.readPrintData(), "61");
    job.process().signal(SIGTERM);
    EXPECT_EQ(job.readCommand(), "cancelPrint pellbluetooth://KRV38-A1B2");
    EXPECT_EQ(job.waitExit(5s), 0);
    EXPECT_TRUE(has(job.errors(), "INFO: Job cancelled\n"));
}

// A thousand long names in one write reach the backend in several reads: each is one device
// line, a name reported again is not, and the announcements the agent does not take cost
// neither a thread each nor a start of the agent each.
TEST(BackendListing, AThousandNamesInOneWriteGiveAThousandLinesOnceAndBoundedAnnouncements)
{
    BackendRun backend("", {"/usr/lib/cups/backend/pellbluetooth"});
    ASSERT_EQ(backend.readCommand(), "query bluetoothdevice");
    std::string names;
    for (int i = 0; i < 1000; ++i)
        names += "querycallback N" + std::to_string(1000 + i) + std::string(95, 'x') + " ";
    ASSERT_GT(names.size(), 100'000u);
    ASSERT_TRUE(backend.reply(names + names.substr(0, 10 * names.size() / 1000)));  // ten again
    ASSERT_TRUE(waitUntil([&] { return deviceLines(backend.output()).size() >= 1000; }, 10s));
    std::this_thread::sleep_for(6s);  // past the announcements' start and two write time-outs
    EXPECT_EQ(deviceLines(backend.output()).size(), 1000u);
    const std::string status = readFile("/proc/" + std::to_string(backend.process().pid()) + "/status");
    const auto threads = std::strtol(status.c_str() + status.find("Threads:") + 8, nullptr, 10);
    EXPECT_LT(threads, 16) << status;
    EXPECT_TRUE(has(backend.log(), " messages already wait for the agent"));
    const std::string log = backend.log();
    std::size_t launches = 0;
    for (std::size_t at = 0; (at = log.find("launching process...", at)) != std::string::npos; ++at)
        ++launches;
    EXPECT_LE(launches, 2u);
}

}  // namespace
