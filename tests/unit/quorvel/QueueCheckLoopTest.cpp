// The queue checker's loops: the queue-list pass with its connections, retries and removals,
// and the add check with its 200-second pause and its 20-second end; the timer queue itself.
#include "CheckerRig.h"

#include "quorvel/TimerQueue.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

namespace quorvel::checkertest {
namespace {

TEST(QueueListLoop, StartsAtOnceEverySixSecondsAndConnectsNewWhitelistedQueues) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop();
    ASSERT_EQ(rig.loopQueue->timers.size(), 1u);
    EXPECT_EQ(rig.loopQueue->timers[0]->interval, 6s);

    rig.setQueues({"Office-KRV38", "Plain"});
    rig.connections.results["Office-KRV38"] = {true};
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.connects, std::vector<std::string>{"Office-KRV38"});  // Plain: not whitelisted
    EXPECT_TRUE(rig.log.has("Printer Plain has been found at printer list."));
    EXPECT_TRUE(rig.log.has("Printer Office-KRV38 has been add at printer list."));
    EXPECT_TRUE(rig.printed("checkPrinter  [\"Office-KRV38\", \"Plain\"]"));
    EXPECT_EQ(rig.checker.currentPrinters(), (std::vector<std::string>{"Office-KRV38", "Plain"}));

    ASSERT_TRUE(rig.loopQueue->tick());  // nothing new: no connection, no sleep
    EXPECT_EQ(rig.connections.connects.size(), 1u);
    EXPECT_TRUE(rig.clock.sleeps.empty());

    rig.checker.stopCheckLoop();
    EXPECT_TRUE(rig.log.has("stopCheckLoop......"));
    EXPECT_FALSE(rig.loopQueue->tick());
    rig.checker.checkPrinterLoop();  // a fresh loop keeps what was recorded
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.connects.size(), 1u);
}

TEST(QueueListLoop, AFailedConnectionIsRetriedThreeTimesAndStaysOutOfTheRecordedList) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop();
    rig.setQueues({"KRV38-A1"});
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.connects.size(), 4u);  // the attempt and three retries
    EXPECT_EQ(rig.clock.sleeps, (std::vector<CheckerClock::Duration>{1s, 1s}));
    EXPECT_TRUE(rig.log.has("Printer KRV38-A1 has been not add at printer list, retry 3 times with error"));
    EXPECT_TRUE(rig.checker.currentPrinters().empty());

    rig.connections.results["KRV38-A1"] = {false, false, true};  // the second retry succeeds
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.connects.size(), 7u);
    EXPECT_EQ(rig.clock.sleeps.size(), 4u);
    EXPECT_EQ(rig.checker.currentPrinters(), std::vector<std::string>{"KRV38-A1"});
}

TEST(QueueListLoop, DuplicatesAreEachConnectedAndARemovalDisconnectsAndRecordsTheList) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop();
    rig.setQueues({"QMT53-1", "QMT53-1"});
    rig.connections.results["QMT53-1"] = {true, true};
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.connects.size(), 2u);

    rig.setQueues({"Plain"});  // the printer's queue went; an unlisted model came
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.disconnects, (std::vector<std::string>{"QMT53-1", "QMT53-1"}));
    EXPECT_TRUE(rig.printed("Printer QMT53-1 has been removed."));
    EXPECT_TRUE(rig.log.has("Printer QMT53-1 has been remove at printer list."));
    EXPECT_EQ(rig.checker.currentPrinters(), std::vector<std::string>{"Plain"});
    EXPECT_TRUE(rig.runner.callsOf("lpadmin").empty());  // a vanished queue gets no state

    rig.runner.lpstatStarts = false;  // an unreadable list drops everything recorded
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_TRUE(rig.printed("Printer Plain has been removed."));
    EXPECT_EQ(rig.connections.disconnects.size(), 2u);  // Plain is not whitelisted
    EXPECT_TRUE(rig.checker.currentPrinters().empty());
}

TEST(AddCheck, ConnectsTheListedNamesThatContainTheGivenOneAndStops) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop("KRV38");
    ASSERT_EQ(rig.addQueue->timers.size(), 1u);
    EXPECT_EQ(rig.addQueue->timers[0]->interval, 2s);
    ASSERT_TRUE(rig.addQueue->tick());  // no queue yet
    EXPECT_TRUE(rig.connections.connects.empty());
    EXPECT_TRUE(rig.checker.isAddCheckRunning());

    rig.setQueues({"KRV38-A1", "Plain", "KRV38-B2"});
    rig.connections.results["KRV38-A1"] = {true};
    rig.connections.results["KRV38-B2"] = {false, true};
    ASSERT_TRUE(rig.addQueue->tick());
    EXPECT_EQ(rig.connections.connects, (std::vector<std::string>{"KRV38-A1", "KRV38-B2", "KRV38-B2"}));
    EXPECT_EQ(rig.clock.sleeps, std::vector<CheckerClock::Duration>{200s});  // after a failed first attempt
    const std::string console = rig.consoleText();
    EXPECT_NE(console.find("Printer KRV38 has been added.\n"), console.rfind("Printer KRV38 has been added.\n"));
    EXPECT_FALSE(rig.checker.isAddCheckRunning());
    EXPECT_FALSE(rig.addQueue->tick());
}

TEST(AddCheck, ThreeFailedAttemptsAreLoggedAndTheCheckEndsAllTheSame) {
    CheckerRig rig;
    rig.setQueues({"KRV38-A1"});
    rig.checker.checkPrinterLoop("KRV38-A1");
    ASSERT_TRUE(rig.addQueue->tick());
    EXPECT_EQ(rig.connections.connects.size(), 3u);
    EXPECT_TRUE(rig.log.has("Printer KRV38-A1 has been not add at printer list, retry 3 times with error"));
    EXPECT_TRUE(rig.printed("Printer KRV38-A1 has been added."));
    EXPECT_FALSE(rig.checker.isAddCheckRunning());
}

TEST(AddCheck, StopsAtTheFirstTickMoreThanTwentySecondsAfterItsStart) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop("KRV38-A1");
    rig.clock.time += 20s;
    ASSERT_TRUE(rig.addQueue->tick());  // exactly 20 s: still looking
    EXPECT_TRUE(rig.checker.isAddCheckRunning());
    rig.clock.time += 1ms;
    ASSERT_TRUE(rig.addQueue->tick());
    EXPECT_TRUE(rig.printed("Check printer loop stopped after 20 seconds."));
    EXPECT_FALSE(rig.checker.isAddCheckRunning());
    EXPECT_EQ(rig.runner.callsOf("lpstat").size(), 1u);  // the last tick did not read the list
}

TEST(AddCheck, ANewAddPrintReplacesTheRunningCheckAndRestartsItsTime) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop("KRV38-A1");
    rig.clock.time += 15s;
    rig.checker.checkPrinterLoop("QMT53-9");
    EXPECT_TRUE(rig.addQueue->timers[0]->cancelled);
    rig.clock.time += 15s;
    rig.setQueues({"KRV38-A1", "QMT53-9"});
    rig.connections.results["QMT53-9"] = {true};
    ASSERT_TRUE(rig.addQueue->tick());
    EXPECT_EQ(rig.connections.connects, std::vector<std::string>{"QMT53-9"});
}

// The real queue: a first tick at once, more at the interval, none after a cancel made from
// inside the handler; missed ticks of a handler that overran are merged into one.
TEST(TimerQueueTest, TicksAtOnceRepeatsMergesMissedTicksAndStopsFromItsOwnHandler) {
    using SteadyClock = std::chrono::steady_clock;
    AsioTimerQueue queue(kAddCheckerLabel);
    std::mutex mutex;
    std::vector<SteadyClock::time_point> times;
    std::shared_ptr<RepeatingTimer> timer;
    auto count = [&] {
        std::lock_guard lock(mutex);
        return times.size();
    };
    const auto start = SteadyClock::now();
    {
        std::lock_guard lock(mutex);  // the handler sees `timer` set
        timer = queue.startRepeating(200ms, [&] {
            std::lock_guard inner(mutex);
            times.push_back(SteadyClock::now());
            if (times.size() == 3)
                timer->cancel();
        });
    }
    ASSERT_TRUE(shelltest::waitUntil([&] { return count() == 3; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count(), 3u);
    EXPECT_LT(times[0] - start, 150ms);
    EXPECT_GE(times[1] - times[0], 190ms);

    std::vector<SteadyClock::time_point> slowTimes;
    auto slow = queue.startRepeating(20ms, [&] {
        std::lock_guard lock(mutex);
        slowTimes.push_back(SteadyClock::now());
        if (slowTimes.size() == 1)
            std::this_thread::sleep_for(200ms);  // ten intervals missed
    });
    ASSERT_TRUE(shelltest::waitUntil([&] {
        std::lock_guard lock(mutex);
        return slowTimes.size() >= 3;
    }));
    slow->cancel();
    std::lock_guard lock(mutex);
    EXPECT_GE(slowTimes[2] - slowTimes[1], 15ms);  // one merged tick, then the interval again
}

}  // namespace
}  // namespace quorvel::checkertest
