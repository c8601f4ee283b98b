// The main queue, delayed and cancelled work, work groups, serial queues and child processes.
#include "common/ChildProcess.h"
#include "common/MainQueue.h"
#include "common/SerialQueue.h"
#include "common/WorkGroup.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Runs `queue` on this thread until stop() or `limit`, so a broken test cannot hang.
int runFor(pb::MainQueue& queue, std::chrono::milliseconds limit)
{
    auto guard = queue.postDelayed(limit, [&queue] { queue.stop(-1); });
    return queue.run();
}

TEST(MainQueue, RunsPostedWorkInOrderOnTheMainThread)
{
    pb::MainQueue queue;
    std::vector<int> order;
    std::thread([&] {
        EXPECT_FALSE(queue.isMainThread());
        queue.post([&] { order.push_back(1); });
        queue.post([&] {
            EXPECT_TRUE(queue.isMainThread());
            order.push_back(2);
            queue.stop(7);
        });
    }).join();
    EXPECT_EQ(runFor(queue, 5000ms), 7);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(MainQueue, DelayedWorkRunsAfterItsDelayCountedFromTheCallUnlessCancelled)
{
    pb::MainQueue queue;
    bool cancelledRan = false;
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration ranAfter{};
    auto cancelled = queue.postDelayed(50ms, [&] { cancelledRan = true; });
    queue.postDelayed(100ms, [&] {
        ranAfter = std::chrono::steady_clock::now() - start;
        queue.stop(1);
    });
    cancelled.cancel();
    pb::DelayedWork().cancel();  // an empty handle cancels nothing, harmlessly
    std::this_thread::sleep_for(100ms);  // the main thread busy before it serves the queue
    EXPECT_EQ(runFor(queue, 5000ms), 1);
    EXPECT_GE(ranAfter, 100ms);
    EXPECT_LT(ranAfter, 180ms);
    EXPECT_FALSE(cancelledRan);
    EXPECT_TRUE(cancelled.cancelled());
}

TEST(WorkGroup, NoticeRunsOnTheMainQueueOnceEveryPieceHasLeft)
{
    pb::MainQueue queue;
    auto group = std::make_shared<pb::WorkGroup>(queue);
    int notices = 0;
    group->enter();
    group->enter();
    group->notify([&] {
        ++notices;
        EXPECT_TRUE(queue.isMainThread());
        queue.stop(0);
    });
    std::thread([group] { group->leave(); }).join();
    EXPECT_EQ(notices, 0);
    std::thread([group] {
        group->leave();
        group->leave();  // unmatched: ignored
    }).join();
    runFor(queue, 5000ms);
    EXPECT_EQ(notices, 1);
}

TEST(SerialQueue, RunsItsWorkInOrderOnOneThreadOfItsOwn)
{
    std::vector<int> order;
    std::thread::id first, second;
    {
        pb::SerialQueue queue("com.pelltandle.bluetooth.fifo");
        std::promise<void> done;
        queue.post([&] { first = std::this_thread::get_id(); order.push_back(1); });
        queue.post([&] {
            second = std::this_thread::get_id();
            EXPECT_TRUE(queue.isCurrent());
            order.push_back(2);
            done.set_value();
        });
        ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(first, second);
    EXPECT_NE(first, std::this_thread::get_id());
}

class ChildProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(mkdtemp(pattern_), nullptr);
        folder_ = pattern_;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string script(const std::string& name, const std::string& body)
    {
        std::string path = folder_ + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0755);
        return path;
    }
    char pattern_[32] = "/tmp/pb-child-test.XXXXXX";
    std::string folder_;
    pb::PosixProcessRunner runner_;
};

TEST_F(ChildProcessTest, CapturesAllOfStandardOutputAndTheExitStatusOrSaysWhyItDidNotStart)
{
    // Arguments reach the program unchanged: no shell sees them.
    auto path = script("print", "printf '%s|' \"$@\"; echo \"$LC_ALL\"; echo noise >&2; head -c 200000 /dev/zero; exit 3\n");
    pb::CommandResult result = runner_.run({path, {"-v", "a b", "$(reboot)", ";"}, {"LC_ALL=C"}});
    ASSERT_TRUE(result.started) << result.error;
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.output.substr(0, 21), "-v|a b|$(reboot)|;|C\n");
    EXPECT_EQ(result.output.size(), 21u + 200000u);

    result = runner_.run({folder_ + "/missing", {}, {}});
    EXPECT_FALSE(result.started);
    EXPECT_FALSE(result.error.empty());
    std::string error;
    EXPECT_FALSE(runner_.launch({folder_ + "/missing", {}, {}}, error));
    EXPECT_FALSE(error.empty());
}

TEST_F(ChildProcessTest, ALaunchedChildIsReapedWithoutWaiting)
{
    const std::string pidFile = folder_ + "/pid";
    auto path = script("launched", "echo $$ > '" + pidFile + ".tmp'; mv '" + pidFile + ".tmp' '" + pidFile + "'\n");
    std::string error;
    ASSERT_TRUE(runner_.launch({path, {}, {}}, error)) << error;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    pid_t pid = 0;
    while (std::chrono::steady_clock::now() < deadline && !(std::ifstream(pidFile) >> pid))
        std::this_thread::sleep_for(10ms);
    ASSERT_GT(pid, 0);
    // Reaped: the process disappears entirely instead of staying a zombie.
    while (std::chrono::steady_clock::now() < deadline && std::filesystem::exists("/proc/" + std::to_string(pid)))
        std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid)));
}

}  // namespace
