// The replies: discovery reports one at once per three-second window, the rest at its end;
// the waiting replies keep their order and every status, with discovery reports bounded.
#include "quorvel/BluetoothPrinterBroadcaster.h"
#include "quorvel/ReplyQueue.h"

#include "ShellTestSupport.h"

#include <gtest/gtest.h>

namespace quorvel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Messages = std::vector<std::string>;

// A clock the test moves and a scheduler that runs work when the clock passes its time.
struct BroadcasterRig {
    Clock::time_point now = Clock::time_point{} + 1000s;
    std::vector<std::pair<Clock::time_point, std::function<void()>>> due;
    RecordingLog log;
    RecordingReplies replies;
    BluetoothPrinterBroadcaster::Clock clock = [this] { return now; };
    BluetoothPrinterBroadcaster::Scheduler scheduler = [this](Clock::duration delay, std::function<void()> work) {
        due.emplace_back(now + delay, std::move(work));
    };
    BluetoothPrinterBroadcaster broadcaster{replies, log, scheduler, clock};

    void advance(Clock::duration by) {
        now += by;
        // Work due at the same moment runs in the order it was scheduled.
        auto earliest = [&] { return std::ranges::min_element(due, {}, [](auto& item) { return item.first; }); };
        for (auto next = earliest(); next != due.end() && next->first <= now; next = earliest()) {
            auto work = std::move(next->second);
            due.erase(next);
            work();
        }
    }
};

// Instances do not delay each other, and stopping cancels no scheduled report.
TEST(BluetoothPrinterBroadcaster, EarlyReportsGoOutTogetherAtTheWindowsEndAndALaterOneOpensANewWindow) {
    BroadcasterRig rig;
    BluetoothPrinterBroadcaster other{rig.replies, rig.log, rig.scheduler, rig.clock};
    rig.broadcaster.startBroadcasting("A");
    other.startBroadcasting("usb");
    EXPECT_EQ(rig.replies.all(), (Messages{"querycallback A ", "querycallback usb "}));  // at once, blank ended
    rig.advance(200ms);
    rig.broadcaster.startBroadcasting("B");
    rig.advance(300ms);
    rig.broadcaster.startBroadcasting("C");
    rig.broadcaster.startBroadcasting("C");  // the same name twice is written twice
    rig.broadcaster.stopBroadcasting();
    rig.advance(2499ms);
    EXPECT_EQ(rig.replies.size(), 2u);
    rig.advance(1ms);
    EXPECT_EQ(rig.replies.all(), (Messages{"querycallback A ", "querycallback usb ", "querycallback B ",
                                           "querycallback C ", "querycallback C "}));
    // The deferred writes did not open a new window: a report exactly 3 s after A goes out at
    // once and opens one, so a report 1 s later waits 2 s.
    rig.broadcaster.startBroadcasting("D");
    EXPECT_EQ(rig.replies.all().back(), "querycallback D ");
    EXPECT_TRUE(rig.due.empty());
    rig.advance(1000ms);
    rig.broadcaster.startBroadcasting("E");
    rig.advance(1999ms);
    EXPECT_EQ(rig.replies.all().back(), "querycallback D ");
    rig.advance(1ms);
    EXPECT_EQ(rig.replies.all().back(), "querycallback E ");
}

TEST(ReplyQueue, DropsTheOldestDiscoveryReportsAndKeepsEveryStatus) {
    ReplyQueue queue;
    constexpr std::size_t kReports = ReplyQueue::kMaxWaitingDiscoveryReports + 5, kStatuses = 100;
    auto report = [](std::size_t index) { return "querycallback P" + std::to_string(index) + " "; };
    Messages dropped;
    for (std::size_t index = 0; index < kReports; ++index) {
        for (std::size_t status = 0; index == 2 && status < kStatuses; ++status)
            EXPECT_FALSE(queue.push("status finished").dropped);
        if (auto result = queue.push(report(index)); result.dropped) dropped.push_back(*result.dropped);
    }
    queue.push("status error");
    EXPECT_EQ(dropped, (Messages{report(0), report(1), report(2), report(3), report(4)}));
    queue.close();
    Messages messages;
    while (auto message = queue.pop()) messages.push_back(*message);
    ASSERT_EQ(messages.size(), ReplyQueue::kMaxWaitingDiscoveryReports + kStatuses + 1);
    EXPECT_EQ(messages[kStatuses - 1], "status finished");
    EXPECT_EQ(messages[kStatuses], report(5));
    EXPECT_EQ(messages.back(), "status error");
}

}  // namespace
}  // namespace quorvel::test
