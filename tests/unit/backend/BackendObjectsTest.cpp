// The backend's objects with fakes: the lpstat check, the log, reply handling, job reading and
// device reports.
#include "backend/BidirectionalFIFO.h"
#include "backend/CupsReporter.h"
#include "backend/Logger.h"
#include "backend/PrintDataHandler.h"
#include "backend/PrinterChecker.h"
#include "common/HexText.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace {

// Captures what is written to a FILE*.
class Capture {
public:
    Capture() : file_(open_memstream(&buffer_, &size_)) {}
    ~Capture()
    {
        std::fclose(file_);
        std::free(buffer_);
    }
    std::FILE* file() { return file_; }
    std::string text()
    {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

class FakeRunner : public pb::ProcessRunner {
public:
    pb::CommandResult result;
    std::vector<pb::Command> runs;
    pb::CommandResult run(const pb::Command& command) override
    {
        runs.push_back(command);
        return result;
    }
    bool launch(const pb::Command&, std::string&) override { return true; }
};

class BackendObjects : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/pb-backend-unit.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string readLog() { return readFile(folder_ + "/backend.log"); }
    static std::string readFile(const std::string& path)
    {
        std::ifstream file(path);
        return {std::istreambuf_iterator<char>(file), {}};
    }

    std::string folder_;
    pb::MainQueue mainQueue_;
    Capture console_;
    Capture cupsStream_;
    FakeRunner runner_;
};

TEST_F(BackendObjects, LpstatCheckRunsInTheCLocaleAndMatchesServedModels)
{
    backend::PrinterChecker checker(runner_, "/root/usr/bin/lpstat", console_.file());
    runner_.result = {true, 0, "device for Office: ipp://x\ndevice for KRT64-9: pellbluetooth://KRT64-9\n", {}};
    EXPECT_TRUE(checker.checkForWhitelistedPrinters());
    ASSERT_EQ(runner_.runs.size(), 1u);
    EXPECT_EQ(runner_.runs[0].path, "/root/usr/bin/lpstat");
    EXPECT_EQ(runner_.runs[0].arguments, std::vector<std::string>{"-v"});
    EXPECT_EQ(runner_.runs[0].environment, std::vector<std::string>{"LC_ALL=C"});

    runner_.result = {true, 1, "", {}};  // "No destinations added." went to standard error
    EXPECT_FALSE(checker.checkForWhitelistedPrinters());
    runner_.result = {true, 0, "device for QMT53\xff: x", {}};
    EXPECT_FALSE(checker.checkForWhitelistedPrinters());
    runner_.result = {false, -1, "", "No such file or directory"};
    EXPECT_FALSE(checker.checkForWhitelistedPrinters());
    EXPECT_EQ(console_.text(), "Error running lpstat command: No such file or directory\n");
}

TEST_F(BackendObjects, LoggerCreatesAWorldWritableFileAndAppendsEachLine)
{
    const std::string path = folder_ + "/backend.log";
    bool onMain = true;
    {
        backend::Logger logger(path, [&] { return onMain; }, console_.file());
        logger.log("bluetooth start");
        onMain = false;
        logger.log("readLoop");
    }
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0666u);
    const std::string log = readLog();
    EXPECT_NE(log.find("] Log file created at: " + path + "\nmain:["), std::string::npos);
    EXPECT_NE(log.find("] bluetooth start\nnot-main:["), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 11), "] readLoop\n");
    backend::Logger again(path, [] { return true; }, console_.file());
    EXPECT_NE(readLog().find("Log file already exists at: " + path), std::string::npos);
    EXPECT_NE(readLog().find("bluetooth start"), std::string::npos) << "the earlier lines stay";
    // Every line also reaches the console, followed by an empty line.
    EXPECT_NE(console_.text().find("] bluetooth start\n\n"), std::string::npos);
}

TEST_F(BackendObjects, ALogThatCannotBeOpenedIsLeftAloneAndLinesStillReachTheConsole)
{
    const std::string path = folder_ + "/log-folder";
    std::filesystem::create_directory(path);
    backend::Logger logger(path, [] { return true; }, console_.file());
    logger.log("bluetooth start");
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_NE(console_.text().find("bluetooth start"), std::string::npos);
}

struct FifoUnderTest {
    FifoUnderTest(pb::MainQueue& queue, Capture& console, Capture& cupsStream,
                  FakeRunner& runner, const std::string& folder)
        : logger(folder + "/backend.log", [] { return false; }, console.file()), cups(cupsStream.file()),
          checker(runner, "/usr/bin/lpstat", console.file()),
          fifo({folder + "/command", folder + "/data", folder + "/reply"}, folder + "/postInstall",
               {queue, logger, cups, runner, checker, [this](int status) { exits.push_back(status); }})
    {
    }
    backend::Logger logger;
    backend::CupsReporter cups;
    backend::PrinterChecker checker;
    std::vector<int> exits;
    backend::BidirectionalFIFO fifo;
};

TEST_F(BackendObjects, StatusFinishedEndsTheRunOnceAndLeavesLaterPairsAlone)
{
    FifoUnderTest under(mainQueue_, console_, cupsStream_, runner_, folder_);
    std::vector<std::string> reported;
    under.fifo.onQueryCallback = [&](const std::string& name) { reported.push_back(name); };
    EXPECT_FALSE(under.fifo.claimEnd()) << "not listening yet";
    under.fifo.startReading();
    under.fifo.handleReceivedMessage("querycallback A status FINISHED querycallback B ");
    EXPECT_EQ(reported, std::vector<std::string>{"A"});
    EXPECT_EQ(under.exits, std::vector<int>{0});
    EXPECT_FALSE(under.fifo.isListening());
    // A second "finished" (or the status wait) finds the run already ended.
    under.fifo.handleReceivedMessage("status finished");
    EXPECT_EQ(under.exits, std::vector<int>{0});
    EXPECT_NE(console_.text().find("Print job finished\n\n"), std::string::npos);
    EXPECT_EQ(cupsStream_.text(), "INFO: Print job finished\n");
}

TEST_F(BackendObjects, StatusErrorFailsAndPaperOutSetsAStateThatIsClearedAtTheEnd)
{
    FifoUnderTest under(mainQueue_, console_, cupsStream_, runner_, folder_);
    under.fifo.startReading();
    under.fifo.handleReceivedMessage("status paper_out status whatever STATUS x");
    EXPECT_TRUE(under.exits.empty());
    under.fifo.handleReceivedMessage("status error");
    EXPECT_EQ(under.exits, std::vector<int>{1});
    EXPECT_EQ(cupsStream_.text(), "ERROR: Printer out of paper\nSTATE: +media-empty-error\nWARNING: Printer busy\n"
                                  "ERROR: Print job failed\nSTATE: -media-empty-error\n");
    const std::string log = readLog();
    EXPECT_NE(log.find("Unknown command: STATUS"), std::string::npos);
    EXPECT_NE(log.find("Print job error"), std::string::npos);
}

TEST_F(BackendObjects, FinishedIsIgnoredWhileTheJobsDataIsNotWritten)
{
    FifoUnderTest under(mainQueue_, console_, cupsStream_, runner_, folder_);
    under.fifo.acceptsFinished = [] { return false; };
    under.fifo.startReading();
    under.fifo.handleReceivedMessage("status finished");
    EXPECT_TRUE(under.exits.empty());
    EXPECT_TRUE(under.fifo.isListening());
}

TEST_F(BackendObjects, StatusStartWithoutAServedQueueSendsNothing)
{
    FifoUnderTest under(mainQueue_, console_, cupsStream_, runner_, folder_);
    runner_.result = {true, 0, "device for Office: ipp://x\n", {}};
    under.fifo.handleReceivedMessage("status start");
    EXPECT_EQ(runner_.runs.size(), 1u);
    EXPECT_NE(readLog().find("quorvel client bluetooth start"), std::string::npos);
    EXPECT_EQ(readLog().find("Wrote message"), std::string::npos);
}

TEST_F(BackendObjects, ReadingAJobKeepsEveryByteInOrder)
{
    FifoUnderTest under(mainQueue_, console_, cupsStream_, runner_, folder_);
    backend::PrintDataHandler handler(under.fifo, under.logger, under.cups, mainQueue_, console_.file(), [](int) {});
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string job;
    for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i)  // crosses the reading blocks
        job += static_cast<char>(i * 7);
    std::thread writer([&] {
        for (std::size_t offset = 0; offset < job.size();)
            offset += static_cast<std::size_t>(write(fds[1], job.data() + offset, std::min<std::size_t>(5000, job.size() - offset)));
        close(fds[1]);
    });
    auto text = handler.readPrintData(fds[0]);
    writer.join();
    close(fds[0]);
    ASSERT_EQ(text->size(), job.size() * 2);
    EXPECT_EQ(text->substr(0, 6), "00070e");
    EXPECT_EQ(pb::decodeHex(*text), std::vector<std::uint8_t>(job.begin(), job.end()));
    EXPECT_NE(readLog().find("Hex string: " + text->substr(0, 50) + "\n"), std::string::npos);
}

TEST_F(BackendObjects, DeviceReportsAreTrimmedAndHostileNamesGetNoLine)
{
    FifoUnderTest under(mainQueue_, console_, cupsStream_, runner_, folder_);
    Capture devices;
    backend::PrintDataHandler handler(under.fifo, under.logger, under.cups, mainQueue_, devices.file(), [](int) {});
    handler.discoverDevices(" KRV38-A1B2\n");
    handler.discoverDevices("X\r\ndirect");
    handler.discoverDevices("\t");
    EXPECT_EQ(devices.text(), "direct pellbluetooth://KRV38-A1B2 \"KRV38\" \"KRV38-A1B2\" PPD=KRV38.ppd\n");
    EXPECT_NE(readLog().find("X\\x0d\\x0adirect"), std::string::npos);
}

}  // namespace
