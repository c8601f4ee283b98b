// One text per writer session, overlapping writers joined, silent writers ignored, stop.
#include "quorvel/FifoMessageReader.h"

#include "ShellTestSupport.h"
#include "common/Fifo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace quorvel {
namespace {

TEST(FifoMessageReader, OverlappingWritersGiveOneTextAndSilentOnesNone) {
    shelltest::TempFolder folder;
    const std::string path = folder / "fifo";
    ASSERT_FALSE(pb::makeFifo(path, 0600));
    FifoMessageReader reader;
    ASSERT_FALSE(reader.open(path));

    int silent = ::open(path.c_str(), O_WRONLY);
    ::close(silent);
    int first = ::open(path.c_str(), O_WRONLY);
    int second = ::open(path.c_str(), O_WRONLY);
    ASSERT_EQ(::write(first, "doPrint ", 8), 8);
    ASSERT_EQ(::write(second, "A", 1), 1);
    ::close(first);
    ::close(second);

    std::string text;
    std::error_code error;
    ASSERT_EQ(reader.next(text, error), FifoMessageReader::Result::Message);
    EXPECT_EQ(text, "doPrint A");
    silent = ::open(path.c_str(), O_WRONLY);
    ::close(silent);
    ASSERT_FALSE(pb::writeToFifo(path, "next"));
    ASSERT_EQ(reader.next(text, error), FifoMessageReader::Result::Message);
    EXPECT_EQ(text, "next");
}

TEST(FifoMessageReader, StopWakesAWaitingReader) {
    shelltest::TempFolder folder;
    const std::string path = folder / "fifo";
    ASSERT_FALSE(pb::makeFifo(path, 0600));
    FifoMessageReader reader;
    ASSERT_FALSE(reader.open(path));
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        reader.stop();
    });
    std::string text;
    std::error_code error;
    EXPECT_EQ(reader.next(text, error), FifoMessageReader::Result::Stopped);
    stopper.join();
}

TEST(FifoMessageReader, RefusesWhatIsNotAFifo) {
    shelltest::TempFolder folder;
    { std::ofstream(folder / "plain") << "x"; }
    FifoMessageReader reader;
    EXPECT_EQ(reader.open(folder / "plain"), std::error_code(ENODEV, std::generic_category()));
    EXPECT_TRUE(reader.open(folder / "missing"));
}

}  // namespace
}  // namespace quorvel
