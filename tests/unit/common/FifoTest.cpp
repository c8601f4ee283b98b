// FIFO helpers: creation with the exact mode, writes that never create files, and a listener
// that waits without spinning and loses no writer's text.
#include "common/Fifo.h"
#include "common/RootPath.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>

namespace {

using namespace std::chrono_literals;

class FifoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_NE(mkdtemp(pattern_), nullptr);
        folder_ = pattern_;
        path_ = folder_ + "/channel";
    }
    char pattern_[32] = "/tmp/pb-fifo-test.XXXXXX";
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string folder_;
    std::string path_;
};

TEST_F(FifoTest, MakesAFifoWithTheExactModeWhateverTheUmask)
{
    mode_t old = umask(022);
    EXPECT_FALSE(pb::makeFifo(path_, 0666));
    umask(old);
    struct stat status {};
    ASSERT_EQ(stat(path_.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0666u);
    EXPECT_TRUE(pb::pathExists(path_));
    EXPECT_EQ(pb::makeFifo(path_, 0666), std::errc::file_exists);
}

TEST_F(FifoTest, MissingChannelsAndPlainFilesAreNeitherCreatedNorWrittenOverNorListenedTo)
{
    pb::FifoListener listener;
    EXPECT_EQ(listener.open(path_), std::errc::no_such_file_or_directory);
    EXPECT_EQ(pb::writeToFifo(path_, "doPrint x"), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(pb::pathExists(path_));
    std::ofstream(path_) << "keep";
    EXPECT_TRUE(pb::writeToFifo(path_, "doPrint x"));
    EXPECT_TRUE(listener.open(path_));
    std::string content;
    std::ifstream(path_) >> content;
    EXPECT_EQ(content, "keep");
}

TEST_F(FifoTest, WriterWaitsForTheReaderAndTheReaderGetsEverythingToEndOfFile)
{
    ASSERT_FALSE(pb::makeFifo(path_, 0666));
    const std::string big(300000, 'a');  // more than a pipe holds
    auto writer = std::async(std::launch::async, [&] { return pb::writeToFifo(path_, big); });
    std::error_code error;
    int fd = pb::openFifoForReading(path_, error);
    ASSERT_GE(fd, 0) << error.message();
    std::string text;
    EXPECT_FALSE(pb::readToEnd(fd, text));
    close(fd);
    EXPECT_FALSE(writer.get());
    EXPECT_EQ(text, big);
}

TEST_F(FifoTest, ListenerReceivesSuccessiveWritersInOrderAndStopsWhenAsked)
{
    ASSERT_FALSE(pb::makeFifo(path_, 0666));
    pb::FifoListener listener;
    ASSERT_FALSE(listener.open(path_));
    std::string expected;
    for (int i = 0; i < 20; ++i)
        expected += "m" + std::to_string(i) + " ";
    auto reader = std::async(std::launch::async, [&] {
        std::string all, text;
        std::error_code error;
        while (all.size() < expected.size() &&
               listener.readAvailable(text, error) == pb::FifoListener::Result::Data)
            all += text;
        return all;
    });
    // Each writer opens, writes and closes; between them the listener must neither see end of
    // file nor lose a text.
    for (int i = 0; i < 20; ++i)
        ASSERT_FALSE(pb::writeToFifo(path_, "m" + std::to_string(i) + " "));
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reader.get(), expected);

    auto idle = std::async(std::launch::async, [&] {
        std::string text;
        std::error_code error;
        return listener.readAvailable(text, error);
    });
    EXPECT_EQ(idle.wait_for(50ms), std::future_status::timeout);
    listener.stop();
    ASSERT_EQ(idle.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(idle.get(), pb::FifoListener::Result::Stopped);
}

TEST(RootPath, PrefixesFixedPathsWithTheRootVariable)
{
    setenv(pb::kRootVariable, "/tmp/root//", 1);
    EXPECT_EQ(pb::rootedPath("/var/run/cups-bluetooth"), "/tmp/root/var/run/cups-bluetooth");
    unsetenv(pb::kRootVariable);
    EXPECT_EQ(pb::rootedPath("/var/run/cups-bluetooth"), "/var/run/cups-bluetooth");
}

}  // namespace
