// The waiting replies: order kept, status replies never dropped, discovery reports bounded.
#include "quorvel/ReplyQueue.h"

#include <gtest/gtest.h>

#include <thread>

namespace quorvel {
namespace {

std::vector<std::string> drain(ReplyQueue& queue) {
    queue.close();
    std::vector<std::string> messages;
    while (auto message = queue.pop())
        messages.push_back(*message);
    return messages;
}

TEST(ReplyQueue, DropsTheOldestDiscoveryReportsAndKeepsEveryStatus) {
    ReplyQueue queue;
    constexpr std::size_t kReports = ReplyQueue::kMaxWaitingDiscoveryReports + 5;
    std::vector<std::string> dropped;
    for (std::size_t index = 0; index < kReports; ++index) {
        if (index == 2)
            queue.push("status finished");
        if (auto result = queue.push("querycallback P" + std::to_string(index) + " "); result.dropped)
            dropped.push_back(*result.dropped);
    }
    queue.push("status error");
    EXPECT_EQ(dropped, (std::vector<std::string>{"querycallback P0 ", "querycallback P1 ", "querycallback P2 ",
                                                 "querycallback P3 ", "querycallback P4 "}));
    auto messages = drain(queue);
    ASSERT_EQ(messages.size(), ReplyQueue::kMaxWaitingDiscoveryReports + 2);
    EXPECT_EQ(messages.front(), "status finished");
    EXPECT_EQ(messages[1], "querycallback P5 ");
    EXPECT_EQ(messages.back(), "status error");
}

TEST(ReplyQueue, ManyStatusRepliesAreAllKept) {
    ReplyQueue queue;
    for (int index = 0; index < 100; ++index)
        EXPECT_FALSE(queue.push("status finished").dropped);
    EXPECT_EQ(queue.size(), 100u);
}

TEST(ReplyQueue, PopWaitsForAMessageAndCloseEndsIt) {
    ReplyQueue queue;
    std::optional<std::string> first;
    std::optional<std::string> second = "unset";
    std::thread reader([&] {
        first = queue.pop();
        second = queue.pop();
    });
    queue.push("status finished");
    queue.close();
    reader.join();
    EXPECT_EQ(first, "status finished");
    EXPECT_FALSE(second.has_value());
}

}  // namespace
}  // namespace quorvel
