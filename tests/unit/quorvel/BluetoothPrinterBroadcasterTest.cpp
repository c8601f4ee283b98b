// Discovery reports: one immediate report per three-second window, the rest at its end.
#include "quorvel/BluetoothPrinterBroadcaster.h"

#include "ShellTestSupport.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A clock the test moves and a scheduler that runs work when the clock passes its time.
struct ManualTime {
    Clock::time_point now = Clock::time_point{} + 1000s;
    std::vector<std::pair<Clock::time_point, std::function<void()>>> due;

    BluetoothPrinterBroadcaster::Clock clock() {
        return [this] { return now; };
    }
    BluetoothPrinterBroadcaster::Scheduler scheduler() {
        return [this](Clock::duration delay, std::function<void()> work) { due.emplace_back(now + delay, std::move(work)); };
    }
    void advance(Clock::duration by) {
        now += by;
        // Stable: work due at the same moment runs in the order it was scheduled.
        std::stable_sort(due.begin(), due.end(), [](auto& a, auto& b) { return a.first < b.first; });
        auto ready = std::stable_partition(due.begin(), due.end(), [this](auto& item) { return item.first <= now; });
        std::vector<std::function<void()>> run;
        for (auto item = due.begin(); item != ready; ++item)
            run.push_back(std::move(item->second));
        due.erase(due.begin(), ready);
        for (auto& work : run)
            work();
    }
};

struct BroadcasterRig {
    ManualTime time;
    shelltest::RecordingLog log;
    shelltest::RecordingReplies replies;
    BluetoothPrinterBroadcaster broadcaster{replies, log, time.scheduler(), time.clock()};
    using Messages = std::vector<std::string>;
};

TEST(BluetoothPrinterBroadcaster, FirstReportGoesOutAtOnceWithItsTrailingBlank) {
    BroadcasterRig rig;
    rig.broadcaster.startBroadcasting("KRV38-A1");
    EXPECT_EQ(rig.replies.messages(), BroadcasterRig::Messages{"querycallback KRV38-A1 "});
}

TEST(BluetoothPrinterBroadcaster, EarlyReportsGoOutTogetherAtTheWindowsEnd) {
    BroadcasterRig rig;
    rig.broadcaster.startBroadcasting("A");
    rig.time.advance(200ms);
    rig.broadcaster.startBroadcasting("B");
    rig.time.advance(300ms);
    rig.broadcaster.startBroadcasting("C");
    rig.broadcaster.startBroadcasting("C");  // the same name twice is written twice
    rig.time.advance(2499ms);
    EXPECT_EQ(rig.replies.messages().size(), 1u);
    rig.time.advance(1ms);
    EXPECT_EQ(rig.replies.messages(), (BroadcasterRig::Messages{"querycallback A ", "querycallback B ",
                                                                 "querycallback C ", "querycallback C "}));
    // The deferred writes did not open a new window: the next report goes out at once.
    rig.broadcaster.startBroadcasting("D");
    EXPECT_EQ(rig.replies.messages().back(), "querycallback D ");
    EXPECT_TRUE(rig.time.due.empty());
}

TEST(BluetoothPrinterBroadcaster, AReportAfterTheWindowOpensANewOne) {
    BroadcasterRig rig;
    rig.broadcaster.startBroadcasting("A");
    rig.time.advance(3000ms);
    rig.broadcaster.startBroadcasting("B");  // exactly 3 s: at once
    rig.time.advance(1000ms);
    rig.broadcaster.startBroadcasting("C");  // 1 s into B's window: 2 s later
    EXPECT_EQ(rig.replies.messages().size(), 2u);
    rig.time.advance(2000ms);
    EXPECT_EQ(rig.replies.messages().back(), "querycallback C ");
}

TEST(BluetoothPrinterBroadcaster, InstancesDoNotDelayEachOther) {
    BroadcasterRig rig;
    BluetoothPrinterBroadcaster other{rig.replies, rig.log, rig.time.scheduler(), rig.time.clock()};
    rig.broadcaster.startBroadcasting("A");
    other.startBroadcasting("usb");
    EXPECT_EQ(rig.replies.messages(), (BroadcasterRig::Messages{"querycallback A ", "querycallback usb "}));
}

TEST(BluetoothPrinterBroadcaster, StopOnlyLogsAndScheduledReportsStillGoOut) {
    BroadcasterRig rig;
    rig.broadcaster.startBroadcasting("A");
    rig.broadcaster.startBroadcasting("B");
    rig.broadcaster.stopBroadcasting();
    EXPECT_TRUE(rig.log.has("Stopped broadcasting"));
    rig.time.advance(3s);
    EXPECT_EQ(rig.replies.messages().back(), "querycallback B ");
}

}  // namespace
}  // namespace quorvel
