// The backend's objects with fakes: the lpstat check, the log, reply handling and job reading.
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
#include <iterator>
#include <stdexcept>
#include <thread>

namespace {

// Captures what is written to a FILE*.
struct Capture {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&buffer, &size);
    ~Capture() { std::fclose(stream), std::free(buffer); }
    std::FILE* file() { return stream; }
    std::string text() { return std::fflush(stream), std::string(buffer, size); }
};

struct FakeRunner : pb::ProcessRunner {
    pb::CommandResult result;
    std::vector<pb::Command> runs;
    pb::CommandResult run(const pb::Command& command) override
    {
        runs.push_back(command);
        return result;
    }
    bool launch(const pb::Command&, std::string&) override { return true; }
};

std::string makeFolder()
{
    char pattern[] = "/tmp/pb-backend-unit.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

class BackendObjects : public ::testing::Test {
protected:
    ~BackendObjects() override { std::filesystem::remove_all(folder_); }
    std::string read(const std::string& name) { return {std::istreambuf_iterator<char>(std::ifstream(folder_ + name).rdbuf()), {}}; }

    std::string folder_ = makeFolder();
    pb::MainQueue mainQueue_;
    Capture console_, cupsStream_;
    FakeRunner runner_;
    backend::Logger logger_{folder_ + "/backend.log", [] { return false; }, console_.file()};
    backend::CupsReporter cups_{cupsStream_.file()};
    backend::PrinterChecker checker_{runner_, "/root/usr/bin/lpstat", console_.file()};
    std::vector<int> exits_;
    backend::BidirectionalFIFO fifo_{{folder_ + "/command", folder_ + "/data", folder_ + "/reply"}, folder_ + "/postInstall",
                                     {mainQueue_, logger_, cups_, runner_, checker_, [this](int status) { exits_.push_back(status); }}};
};

TEST_F(BackendObjects, LpstatCheckRunsInTheCLocaleAndMatchesServedModels)
{
    runner_.result = {true, 0, "device for Office: ipp://x\ndevice for KRT64-9: pellbluetooth://KRT64-9\n", {}};
    EXPECT_TRUE(checker_.checkForWhitelistedPrinters());
    ASSERT_EQ(runner_.runs.size(), 1u);
    EXPECT_EQ(runner_.runs[0].path, "/root/usr/bin/lpstat");
    EXPECT_EQ(runner_.runs[0].arguments, std::vector<std::string>{"-v"});
    EXPECT_EQ(runner_.runs[0].environment, std::vector<std::string>{"LC_ALL=C"});

    runner_.result = {true, 1, "", {}};  // "No destinations added." went to standard error
    EXPECT_FALSE(checker_.checkForWhitelistedPrinters());
    runner_.result = {true, 0, "device for QMT53\xff: x", {}};
    EXPECT_FALSE(checker_.checkForWhitelistedPrinters());
    runner_.result = {false, -1, "", "No such file or directory"};
    EXPECT_FALSE(checker_.checkForWhitelistedPrinters());
    EXPECT_TRUE(console_.text().ends_with("\n\nError running lpstat command: No such file or directory\n")) << console_.text();
}

TEST_F(BackendObjects, LoggerCreatesAWorldWritableFileAndAppendsEachLine)
{
    const std::string path = folder_ + "/own.log";
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
    const std::string log = read("/own.log");
    EXPECT_NE(log.find("] Log file created at: " + path + "\nmain:["), std::string::npos);
    EXPECT_NE(log.find("] bluetooth start\nnot-main:["), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 11), "] readLoop\n");
    backend::Logger again(path, [] { return true; }, console_.file());
    EXPECT_NE(read("/own.log").find("Log file already exists at: " + path), std::string::npos);
    EXPECT_NE(read("/own.log").find("bluetooth start"), std::string::npos) << "the earlier lines stay";
    // Every line also reaches the console, followed by an empty line.
    EXPECT_NE(console_.text().find("] bluetooth start\n\n"), std::string::npos);
    // A log path that cannot be opened is left alone; lines still reach the console.
    backend::Logger blocked(folder_, [] { return true; }, console_.file());
    blocked.log("blocked line");
    EXPECT_TRUE(std::filesystem::is_directory(folder_));
    EXPECT_NE(console_.text().find("blocked line"), std::string::npos);
}

TEST_F(BackendObjects, StatusFinishedEndsTheRunOnceAndLeavesLaterPairsAlone)
{
    std::vector<std::string> reported;
    fifo_.onQueryCallback = [&](const std::string& name) { reported.push_back(name); };
    EXPECT_FALSE(fifo_.claimEnd()) << "not listening yet";
    fifo_.startReading();
    fifo_.handleReceivedMessage("querycallback A status FINISHED querycallback B ");
    EXPECT_EQ(reported, std::vector<std::string>{"A"});
    EXPECT_EQ(exits_, std::vector<int>{0});
    EXPECT_FALSE(fifo_.isListening());
    // A second "finished" (or the status wait) finds the run already ended.
    fifo_.handleReceivedMessage("status finished");
    EXPECT_EQ(exits_, std::vector<int>{0});
    EXPECT_NE(console_.text().find("Print job finished\n\n"), std::string::npos);
    EXPECT_EQ(cupsStream_.text(), "INFO: Print job finished\n");
}

TEST_F(BackendObjects, ReadingAJobKeepsEveryByteInOrder)
{
    backend::PrintDataHandler handler(fifo_, logger_, cups_, mainQueue_, console_.file(), [](int) {});
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
    EXPECT_NE(read("/backend.log").find("Hex string: " + text->substr(0, 50) + "\n"), std::string::npos);
}

}  // namespace
