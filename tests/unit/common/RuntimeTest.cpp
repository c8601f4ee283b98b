// The main queue, delayed and cancelled work, work groups and serial queues.
#include "common/MainQueue.h"
#include "common/SerialQueue.h"
#include "common/WorkGroup.h"

#include <gtest/gtest.h>

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

TEST(MainQueue, RunsPostedWorkInOrderAndDelayedWorkAfterItsDelayCountedFromTheCallUnlessCancelled)
{
    pb::MainQueue queue;
    std::vector<int> order;
    bool cancelledRan = false;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration ranAfter{};
    auto cancelled = queue.postDelayed(50ms, [&] { cancelledRan = true; });
    queue.postDelayed(100ms, [&] {
        ranAfter = std::chrono::steady_clock::now() - start;
        queue.stop(7);
    });
    std::thread([&] {
        EXPECT_FALSE(queue.isMainThread());
        queue.post([&] { order.push_back(1); });
        queue.post([&] { order.push_back(queue.isMainThread() ? 2 : -2); });
    }).join();
    cancelled.cancel();
    pb::DelayedWork().cancel();  // an empty handle cancels nothing, harmlessly
    std::this_thread::sleep_for(100ms);  // the main thread busy before it serves the queue
    EXPECT_EQ(runFor(queue, 5000ms), 7);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
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
        notices += queue.isMainThread() ? 1 : 100;
        queue.stop(0);
    });
    std::thread([group] { group->leave(); }).join();
    EXPECT_EQ(notices, 0);
    std::thread([group] { group->leave(), group->leave(); }).join();  // the third is unmatched: ignored
    runFor(queue, 5000ms);
    EXPECT_EQ(notices, 1);
}

TEST(SerialQueue, RunsItsWorkInOrderOnOneThreadOfItsOwn)
{
    std::vector<std::thread::id> threads;
    {
        pb::SerialQueue queue("com.pelltandle.bluetooth.fifo");
        std::promise<void> done;
        queue.post([&] { threads.push_back(std::this_thread::get_id()); });
        queue.post([&] {
            // Second, and on the queue's own thread: anything else leaves an empty id.
            threads.push_back(threads.size() == 1 && queue.isCurrent() ? std::this_thread::get_id() : std::thread::id());
            done.set_value();
        });
        ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    }
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_EQ(threads[0], threads[1]);
    EXPECT_NE(threads[0], std::this_thread::get_id());
}

}  // namespace
