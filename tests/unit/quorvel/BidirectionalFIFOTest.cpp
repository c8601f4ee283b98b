// The agent's FIFO server and its reader over real FIFOs in a temporary folder: texts delivered
// once and in order, the print-data reader's flag, replies in order and never into a plain file.
#include "quorvel/BidirectionalFIFO.h"
#include "quorvel/FifoMessageReader.h"

#include "ShellTestSupport.h"
#include "common/Fifo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <numeric>

namespace quorvel::test {
namespace {

struct FifoRig {
    TempFolder folder;
    RecordingLog log;
    pb::MainQueue mainQueue;
    Lines received, jobs;
    std::unique_ptr<BidirectionalFIFO> fifo = std::make_unique<BidirectionalFIFO>(
        pb::ChannelPaths{folder / "command", folder / "print", folder / "reply", folder / "lock"}, mainQueue, log);
    std::thread mainThread{[this] { mainQueue.run(); }};

    FifoRig() {
        fifo->callback = [this](const std::string& text) { received.add(text); };
        fifo->printDataCallback = [this](std::string text) { jobs.add(text); };
    }
    ~FifoRig() { fifo.reset(), mainQueue.stop(), mainThread.join(); }
};

bool isFifoWithMode(const std::string& path, mode_t mode) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode) && (status.st_mode & 0777) == mode;
}

TEST(BidirectionalFIFO, CreatesItsChannelsAndDeliversEachUtf8TextOnceInOrder) {
    FifoRig rig;
    TempFolder stale;
    { std::ofstream(stale / "reply") << "stale"; }
    BidirectionalFIFO replaced({stale / "command", stale / "print", stale / "reply", stale / "lock"}, rig.mainQueue, rig.log);
    EXPECT_TRUE(isFifoWithMode(stale / "reply", 0660));  // whatever was at the reply path is replaced
    // So is a FIFO anyone could write; one closed to others is kept for a waiting backend.
    std::filesystem::remove(stale / "reply");
    ASSERT_FALSE(pb::makeFifo(stale / "reply", 0666));
    BidirectionalFIFO again({stale / "command", stale / "print", stale / "reply", stale / "lock"}, rig.mainQueue, rig.log);
    EXPECT_TRUE(isFifoWithMode(stale / "reply", 0660));
    EXPECT_TRUE(rig.log.contains("File exists, removing: " + (stale / "reply") + " (its mode 0666 lets others in)"));
    rig.fifo->start();
    ASSERT_TRUE(waitUntil([&] { return rig.log.contains("readLoop"); }));
    EXPECT_TRUE(isFifoWithMode(rig.folder / "command", 0660));
    // Writers that follow each other closely may be read as one text; what counts is that
    // nothing is lost, repeated or reordered.
    std::string expected;
    for (int index = 0; index < 40; ++index) {
        ASSERT_FALSE(pb::writeToFifo(rig.folder / "command", "addPrint P" + std::to_string(index) + " "));
        expected += "addPrint P" + std::to_string(index) + " ";
    }
    auto all = [&] { auto texts = rig.received.all(); return std::accumulate(texts.begin(), texts.end(), std::string()); };
    ASSERT_TRUE(waitUntil([&] { return all().size() >= expected.size(); }));
    EXPECT_EQ(all(), expected);

    // A text that is not UTF-8 is dropped with a log line. Wait for the drop first: a text
    // written before the reader sees the end of the first would join it and be dropped with it.
    ASSERT_FALSE(pb::writeToFifo(rig.folder / "command", std::string("\xff\xfe query", 8)));
    ASSERT_TRUE(waitUntil([&] { return rig.log.hasPrefix("Command dropped: "); }));
    EXPECT_EQ(all(), expected);
    ASSERT_FALSE(pb::writeToFifo(rig.folder / "command", "query"));
    ASSERT_TRUE(waitUntil([&] { return all() == expected + "query"; }));
}

TEST(BidirectionalFIFO, RepliesGoOutInOrderAndNeverIntoAPlainFile) {
    FifoRig rig;
    for (const char* reply : {"querycallback A ", "status finished", "querycallback B "}) rig.fifo->writeMessage(reply);
    std::error_code error;
    int fd = pb::openFifoForReading(rig.folder / "reply", error);
    ASSERT_GE(fd, 0);
    const std::string expected = "querycallback A status finishedquerycallback B ";
    std::string text;
    for (char chunk[256]; text.size() < expected.size();)
        text.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(0, ::read(fd, chunk, sizeof chunk))));
    ::close(fd);
    EXPECT_EQ(text, expected);

    std::filesystem::remove(rig.folder / "reply");
    rig.fifo->writeMessage("status finished");
    ASSERT_TRUE(waitUntil([&] { return rig.log.hasPrefix("Error writing to FIFO: "); }));
    EXPECT_FALSE(std::filesystem::exists(rig.folder / "reply"));
}

TEST(BidirectionalFIFO, OneReaderTakesEveryJobAndOneThatCannotOpenItsChannelClearsTheFlag) {
    FifoRig rig;
    rig.fifo->startCommunication();
    ASSERT_TRUE(waitUntil([&] { return !rig.fifo->isReading(); }));
    EXPECT_TRUE(rig.log.hasPrefix("Failed to open " + (rig.folder / "print")));
    // The next job starts a reader again; one already reading is reused.
    ASSERT_FALSE(pb::makeFifo(rig.folder / "print", 0660));
    rig.fifo->startCommunication();
    EXPECT_TRUE(rig.fifo->isReading());
    rig.fifo->startCommunication();
    auto send = [&](const std::string& job) {
        const auto before = rig.jobs.size();
        return !pb::writeToFifo(rig.folder / "print", job) && waitUntil([&] { return rig.jobs.size() > before; });
    };
    ASSERT_TRUE(send("aa") && send("bb"));
    // Told to stop while it waits for a writer, the reader still hands over the next job, and
    // a reader started meanwhile is that same one.
    rig.fifo->stopReading();
    rig.fifo->startCommunication();
    ASSERT_TRUE(send("cc"));
    EXPECT_EQ(rig.jobs.all(), (std::vector<std::string>{"aa", "bb", "cc"}));
    EXPECT_EQ(std::ranges::count_if(rig.log.all(), [](auto& line) { return line.starts_with("读取base64数据："); }), 3);
}

TEST(FifoMessageReader, OverlappingWritersGiveOneTextSilentOnesNoneOversizedAreDroppedStopWakesItAndOnlyFifosOpen) {
    TempFolder folder;
    const std::string path = folder / "fifo";
    ASSERT_FALSE(pb::makeFifo(path, 0600));
    FifoMessageReader reader(8u << 20);
    ASSERT_FALSE(reader.open(path));
    ::close(::open(path.c_str(), O_WRONLY));  // a silent writer
    int first = ::open(path.c_str(), O_WRONLY), second = ::open(path.c_str(), O_WRONLY);
    ASSERT_TRUE(::write(first, "doPrint ", 8) == 8 && ::write(second, "A", 1) == 1);
    ::close(first), ::close(second);
    std::string text;
    std::error_code error;
    ASSERT_EQ(reader.next(text, error), FifoMessageReader::Result::Message);
    EXPECT_EQ(text, "doPrint A");
    ::close(::open(path.c_str(), O_WRONLY));
    ASSERT_FALSE(pb::writeToFifo(path, "next"));
    ASSERT_EQ(reader.next(text, error), FifoMessageReader::Result::Message);
    EXPECT_EQ(text, "next");
    // A job's text of megabytes arrives whole.
    std::string job(6u << 20, 'x');
    for (std::size_t at = 0; at < job.size(); at += 4093) job[at] = static_cast<char>('a' + at % 26);
    std::thread writer([&] { EXPECT_FALSE(pb::writeToFifo(path, job)); });
    ASSERT_EQ(reader.next(text, error), FifoMessageReader::Result::Message);
    writer.join();
    EXPECT_TRUE(text == job) << text.size();
    // Past the limit a text is read to its end and dropped, and the next one is whole.
    job.resize(9u << 20, 'y');
    std::thread oversized([&] { EXPECT_FALSE(pb::writeToFifo(path, job)); });
    ASSERT_EQ(reader.next(text, error), FifoMessageReader::Result::Oversized);
    oversized.join();
    EXPECT_EQ(reader.droppedBytes(), job.size());
    EXPECT_TRUE(text.empty());
    ASSERT_FALSE(pb::writeToFifo(path, "after"));
    ASSERT_EQ(reader.next(text, error), FifoMessageReader::Result::Message);
    EXPECT_EQ(text, "after");

    std::thread stopper([&] { std::this_thread::sleep_for(std::chrono::milliseconds(50)), reader.stop(); });
    EXPECT_EQ(reader.next(text, error), FifoMessageReader::Result::Stopped);
    stopper.join();
    // What is not a FIFO is refused.
    { std::ofstream(folder / "plain") << "x"; }
    EXPECT_EQ(reader.open(folder / "plain"), std::error_code(ENODEV, std::generic_category()));
    EXPECT_TRUE(reader.open(folder / "missing"));
}

}  // namespace
}  // namespace quorvel::test
