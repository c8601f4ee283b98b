// The agent's FIFO server over real FIFOs in a temporary folder: channel set-up, texts
// delivered once and in order, the print-data reader's flag, replies in order and never into a
// plain file.
#include "quorvel/BidirectionalFIFO.h"

#include "ShellTestSupport.h"
#include "common/Fifo.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include <thread>

namespace quorvel {
namespace {

using shelltest::waitUntil;

struct FifoRig {
    shelltest::TempFolder folder;
    shelltest::RecordingLog log;
    pb::MainQueue mainQueue;
    std::thread mainThread;
    std::mutex mutex;
    std::vector<std::string> received;
    std::vector<std::string> jobs;
    std::unique_ptr<BidirectionalFIFO> fifo;

    FifoRig() {
        fifo = std::make_unique<BidirectionalFIFO>(
            pb::ChannelPaths{folder / "command", folder / "print", folder / "reply"}, mainQueue, log);
        fifo->callback = [this](const std::string& text) {
            std::lock_guard lock(mutex);
            received.push_back(text);
        };
        fifo->printDataCallback = [this](std::string text) {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(text));
        };
        mainThread = std::thread([this] { mainQueue.run(); });
    }
    ~FifoRig() {
        fifo.reset();
        mainQueue.stop();
        mainThread.join();
    }
    std::size_t receivedCount() {
        std::lock_guard lock(mutex);
        return received.size();
    }
    std::size_t jobCount() {
        std::lock_guard lock(mutex);
        return jobs.size();
    }
};

bool isFifoWithMode(const std::string& path, mode_t mode) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode) && (status.st_mode & 0777) == mode;
}

TEST(BidirectionalFIFO, CreatesAMissingCommandChannelAndDeliversEachTextOnceInOrder) {
    FifoRig rig;
    rig.fifo->start();
    ASSERT_TRUE(waitUntil([&] { return rig.log.has("readLoop"); }));
    EXPECT_TRUE(isFifoWithMode(rig.folder / "command", 0666));
    constexpr int kTexts = 40;
    for (int index = 0; index < kTexts; ++index)
        ASSERT_FALSE(pb::writeToFifo(rig.folder / "command", "addPrint P" + std::to_string(index) + " "));
    // Writers that follow each other closely may be read as one text; what counts is that
    // nothing is lost, repeated or reordered.
    std::string expected;
    for (int index = 0; index < kTexts; ++index)
        expected += "addPrint P" + std::to_string(index) + " ";
    auto all = [&] {
        std::lock_guard lock(rig.mutex);
        std::string joined;
        for (const auto& text : rig.received)
            joined += text;
        return joined;
    };
    ASSERT_TRUE(waitUntil([&] { return all().size() >= expected.size(); }));
    EXPECT_EQ(all(), expected);
    EXPECT_TRUE(rig.log.has("handleReceivedMessage call"));
}

TEST(BidirectionalFIFO, ReplacesWhateverIsAtTheReplyPath) {
    shelltest::TempFolder folder;
    shelltest::RecordingLog log;
    pb::MainQueue mainQueue;
    { std::ofstream(folder / "reply") << "stale"; }
    BidirectionalFIFO fifo({folder / "command", folder / "print", folder / "reply"}, mainQueue, log);
    EXPECT_TRUE(isFifoWithMode(folder / "reply", 0666));
    EXPECT_TRUE(log.has("File exists, removing: " + (folder / "reply")));
    EXPECT_TRUE(log.has("Successfully created FIFO at: " + (folder / "reply")));
}

TEST(BidirectionalFIFO, RepliesGoOutInOrderAndNeverIntoAPlainFile) {
    FifoRig rig;
    for (const char* reply : {"querycallback A ", "status finished", "querycallback B "})
        rig.fifo->writeMessage(reply);
    std::error_code error;
    int fd = pb::openFifoForReading(rig.folder / "reply", error);
    ASSERT_GE(fd, 0);
    std::string text;
    while (text.size() < std::string("querycallback A status finishedquerycallback B ").size()) {
        char chunk[256];
        ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count > 0)
            text.append(chunk, static_cast<std::size_t>(count));
    }
    ::close(fd);
    EXPECT_EQ(text, "querycallback A status finishedquerycallback B ");

    std::filesystem::remove(rig.folder / "reply");
    rig.fifo->writeMessage("status finished");
    ASSERT_TRUE(waitUntil([&] { return rig.log.hasPrefix("Error writing to FIFO: "); }));
    EXPECT_FALSE(std::filesystem::exists(rig.folder / "reply"));
}

TEST(BidirectionalFIFO, AReaderThatCannotOpenItsChannelClearsTheFlag) {
    FifoRig rig;
    rig.fifo->startCommunication();
    ASSERT_TRUE(waitUntil([&] { return !rig.fifo->isReading(); }));
    EXPECT_TRUE(rig.log.hasPrefix("Failed to open " + (rig.folder / "print")));
    // The next job starts a reader again.
    ASSERT_FALSE(pb::makeFifo(rig.folder / "print", 0666));
    rig.fifo->startCommunication();
    EXPECT_TRUE(rig.fifo->isReading());
    ASSERT_FALSE(pb::writeToFifo(rig.folder / "print", "1b40"));
    ASSERT_TRUE(waitUntil([&] { return rig.jobCount() == 1; }));
    EXPECT_EQ(rig.jobs[0], "1b40");
}

TEST(BidirectionalFIFO, OneReaderTakesEveryJobUntilStoppedAndARunningOneIsReused) {
    FifoRig rig;
    ASSERT_FALSE(pb::makeFifo(rig.folder / "print", 0666));
    rig.fifo->startCommunication();
    rig.fifo->startCommunication();  // already reading: no second reader
    ASSERT_FALSE(pb::writeToFifo(rig.folder / "print", "aa"));
    ASSERT_TRUE(waitUntil([&] { return rig.jobCount() == 1; }));
    ASSERT_FALSE(pb::writeToFifo(rig.folder / "print", "bb"));
    ASSERT_TRUE(waitUntil([&] { return rig.jobCount() == 2; }));
    // Told to stop while it waits for a writer, the reader still hands over the next job, and
    // a reader started meanwhile is that same one.
    rig.fifo->stopReading();
    rig.fifo->startCommunication();
    ASSERT_FALSE(pb::writeToFifo(rig.folder / "print", "cc"));
    ASSERT_TRUE(waitUntil([&] { return rig.jobCount() == 3; }));
    EXPECT_EQ(rig.jobs, (std::vector<std::string>{"aa", "bb", "cc"}));
    auto lines = rig.log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("读取base64数据：", 0) == 0; }), 3);
}

TEST(BidirectionalFIFO, TextsThatAreNotUtf8AreDroppedWithALogLine) {
    FifoRig rig;
    rig.fifo->start();
    ASSERT_TRUE(waitUntil([&] { return rig.log.has("readLoop"); }));
    ASSERT_FALSE(pb::writeToFifo(rig.folder / "command", std::string("\xff\xfe query", 8)));
    // Wait for the drop first: a text written before the reader sees the end of the first
    // would join it and be dropped with it.
    ASSERT_TRUE(waitUntil([&] { return rig.log.hasPrefix("Command dropped: "); }));
    EXPECT_EQ(rig.receivedCount(), 0u);
    ASSERT_FALSE(pb::writeToFifo(rig.folder / "command", "query"));
    ASSERT_TRUE(waitUntil([&] { return rig.receivedCount() >= 1; }));
}

}  // namespace
}  // namespace quorvel
