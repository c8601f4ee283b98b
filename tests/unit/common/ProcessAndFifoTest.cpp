// Child processes, FIFO helpers and the channel lock file, each test in a temporary folder:
// argument vectors with no shell, reaped launches, channels made with the exact mode, writes that
// never create files, a lock file made without following links. (The lock's one holder at a time
// is checked with real backends.)
#include "common/ChannelAccess.h"
#include "common/ChannelLock.h"
#include "common/ChildProcess.h"
#include "common/Fifo.h"
#include "common/RootPath.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using pbtest::waitUntil;

class InFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_NE(mkdtemp(folder_.data()), nullptr);
        path_ = folder_ + "/channel";
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string folder_ = "/tmp/pb-common-test.XXXXXX";  // made unique by SetUp
    std::string path_;
    pb::PosixProcessRunner runner_;
};

TEST_F(InFolder, RunCapturesAllOfStandardOutputAndTheExitStatusOrSaysWhyItDidNotStart)
{
    std::ofstream(path_) << "#!/bin/sh\nprintf '%s|' \"$@\"; echo \"$LC_ALL\"; echo noise >&2; head -c 200000 /dev/zero; exit 3\n";
    chmod(path_.c_str(), 0755);
    // Arguments reach the program unchanged: no shell sees them.
    pb::CommandResult result = runner_.run({path_, {"-v", "a b", "$(reboot)", ";"}, {"LC_ALL=C"}});
    ASSERT_TRUE(result.started) << result.error;
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.output.substr(0, 21), "-v|a b|$(reboot)|;|C\n");
    EXPECT_EQ(result.output.size(), 21u + 200000u);
    result = runner_.run({folder_ + "/missing", {}, {}});
    EXPECT_TRUE(!result.started && !result.error.empty());
    std::string error;
    EXPECT_FALSE(runner_.launch({folder_ + "/missing", {}, {}}, error));
    EXPECT_FALSE(error.empty());
}

TEST_F(InFolder, LaunchReturnsAtOnceAndTheChildIsReapedWithoutWaiting)
{
    // WNOWAIT only looks: ECHILD means no child is left, not even a zombie.
    const auto noChild = [] { siginfo_t info{}; return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD; };
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    // Far apart on purpose: a loaded machine must not make a launch that returns look like one
    // that waited for its child.
    ASSERT_TRUE(runner_.launch({"/bin/sleep", {"2"}, {}}, error)) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_FALSE(noChild());
    EXPECT_TRUE(waitUntil(noChild, 10s));
}

TEST_F(InFolder, MissingPathsAndPlainFilesAreNeitherCreatedNorWrittenOverNorListenedTo)
{
    pb::FifoListener listener;
    EXPECT_EQ(listener.open(path_), std::errc::no_such_file_or_directory);
    EXPECT_EQ(pb::writeToFifo(path_, "doPrint x"), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(pb::pathExists(path_));
    std::ofstream(path_) << "keep";
    EXPECT_TRUE(pb::pathExists(path_));
    EXPECT_TRUE(pb::writeToFifo(path_, "doPrint x"));
    EXPECT_TRUE(listener.open(path_));
    EXPECT_EQ(pb::makeFifo(path_, 0666), std::errc::file_exists);
    std::string content;
    std::ifstream(path_) >> content;
    EXPECT_EQ(content, "keep");
}

// Channels are open to root and lp only: a channel FIFO is made so, and a FIFO open to others,
// another user's or a link is neither written to nor listened to.
TEST_F(InFolder, AChannelFifoIsClosedToOthersTheWriterWaitsForTheReaderAndTheReaderGetsAllToEndOfFile)
{
    const mode_t old = umask(0);
    ASSERT_FALSE(pb::makeChannelFifo(path_));
    umask(old);
    struct stat status {};
    ASSERT_EQ(stat(path_.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0660u);
    EXPECT_EQ(status.st_gid, geteuid() == 0 ? pb::channelGroup() : getegid());
    const std::string open = folder_ + "/open", link = folder_ + "/link";
    ASSERT_FALSE(pb::makeFifo(open, 0666));
    ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
    pb::FifoListener refused;
    const int openReader = ::open(open.c_str(), O_RDONLY | O_NONBLOCK);  // or the write would wait
    EXPECT_EQ(pb::writeToFifo(open, "x"), std::errc::operation_not_permitted);
    ::close(openReader);
    EXPECT_EQ(refused.open(open), std::errc::operation_not_permitted);
    EXPECT_EQ(pb::writeToFifo(link, "x"), std::errc::too_many_symbolic_link_levels);
    EXPECT_EQ(pb::whyUnfitChannelPath(open), "its mode 0666 lets others in");
    EXPECT_EQ(pb::whyUnfitChannelPath(link), "it is a symbolic link");
    EXPECT_EQ(pb::whyUnfitChannelPath(path_), std::nullopt);
    const std::string big(300000, 'a');  // more than a pipe holds
    auto writer = std::async(std::launch::async, [&] { return pb::writeToFifo(path_, big); });
    std::error_code error;
    const int fd = pb::openFifoForReading(path_, error);
    ASSERT_GE(fd, 0) << error.message();
    std::string text;
    EXPECT_FALSE(pb::readToEnd(fd, text));
    close(fd);
    EXPECT_FALSE(writer.get());
    EXPECT_EQ(text, big);
}

TEST_F(InFolder, ListenerReceivesSuccessiveWritersInOrderAndStopsWhenAsked)
{
    ASSERT_FALSE(pb::makeFifo(path_, 0660));
    pb::FifoListener listener;
    ASSERT_FALSE(listener.open(path_));
    std::string expected, text;
    for (int i = 0; i < 20; ++i)
        expected += "m" + std::to_string(i) + " ";
    std::error_code error;
    auto reader = std::async(std::launch::async, [&] {
        std::string all;
        while (all.size() < expected.size() && listener.readAvailable(text, error) == pb::FifoListener::Result::Data)
            all += text;
        return all;
    });
    // Each writer opens, writes and closes; between them the listener must neither see end of
    // file nor lose a text.
    for (int i = 0; i < 20; ++i)
        ASSERT_FALSE(pb::writeToFifo(path_, "m" + std::to_string(i) + " "));
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reader.get(), expected);
    auto idle = std::async(std::launch::async, [&] { return listener.readAvailable(text, error); });
    EXPECT_EQ(idle.wait_for(50ms), std::future_status::timeout);
    listener.stop();
    ASSERT_EQ(idle.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(idle.get(), pb::FifoListener::Result::Stopped);
}

TEST_F(InFolder, ChannelLockFileIsMadeWithTheChannelModeClosedUpWhenOursAndNeverThroughALinkOrOntoAFifo)
{
    const mode_t old = umask(077);
    EXPECT_FALSE(pb::makeChannelLockFile(path_));
    umask(old);
    struct stat status {};
    ASSERT_EQ(lstat(path_.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0660u);
    chmod(path_.c_str(), 0666);  // as an older version made it
    EXPECT_FALSE(pb::makeChannelLockFile(path_)) << "an existing file will do";
    ASSERT_EQ(lstat(path_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0660u);
    const std::string link = folder_ + "/link", target = folder_ + "/target";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(pb::makeChannelLockFile(link), std::errc::too_many_symbolic_link_levels);
    EXPECT_FALSE(pb::ChannelLock(link).held());
    EXPECT_FALSE(pb::pathExists(target));
    // A FIFO at the path would block a plain open until a writer came.
    const std::string fifo = folder_ + "/fifo";
    ASSERT_FALSE(pb::makeFifo(fifo, 0666));
    pb::ChannelLock onFifo(fifo);
    EXPECT_FALSE(onFifo.held());
    EXPECT_EQ(onFifo.error(), std::errc::no_such_device);
    EXPECT_TRUE(pb::ChannelLock(folder_ + "/missing/lock").error());
}

TEST(RootPath, PrefixesFixedPathsWithTheRootVariable)
{
    setenv(pb::kRootVariable, "/tmp/root//", 1);
    EXPECT_EQ(pb::rootedPath("/var/run/cups-bluetooth"), "/tmp/root/var/run/cups-bluetooth");
    unsetenv(pb::kRootVariable);
    EXPECT_EQ(pb::rootedPath("/var/run/cups-bluetooth"), "/var/run/cups-bluetooth");
}

}  // namespace
