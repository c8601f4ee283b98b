// The virtual printer's credit, MTU and report behaviour and what it receives, without a radio.
#include "ble/sim/VirtualPrinter.h"

#include <gtest/gtest.h>


namespace ble::sim {
namespace {

struct Report { Uuid characteristic; Bytes value; };

class VirtualPrinterTest : public ::testing::Test {
protected:
    std::unique_ptr<VirtualPrinter> make(PrinterSettings settings) {
        return std::make_unique<VirtualPrinter>(
            settings, [this](const Uuid& c, Bytes v) { reports.push_back({c, std::move(v)}); },
            [this](std::span<const std::uint8_t> bytes) { received.insert(received.end(), bytes.begin(), bytes.end()); });
    }
    std::uint64_t granted() const {
        std::uint64_t sum = 0;
        for (const Report& r : reports)
            if (r.characteristic == PrinterGatt::credit() && r.value.size() == 2 && r.value[0] == kCreditReport)
                sum += r.value[1];
        return sum;
    }

    std::vector<Report> reports;
    Bytes received;
};

TEST_F(VirtualPrinterTest, PacedPrinterReturnsCreditsInBatchesAndWhenTheSenderRunsDry) {
    auto printer = make({.bufferChunks = 8, .creditBatch = 3, .bytesPerSecond = 1000});
    printer->setNotifying(PrinterGatt::credit(), true);
    for (int i = 0; i < 8; ++i) printer->dataWritten(Bytes(10, static_cast<std::uint8_t>(i)));
    // Received at once, whatever the pace: a sender that dies now has still printed all 80 bytes.
    EXPECT_EQ(received.size(), 80u);
    EXPECT_EQ(received[10], 1);
    EXPECT_EQ(printer->outstandingCredits(), 0u);
    EXPECT_EQ(printer->nextConsumeDelay(), std::chrono::milliseconds(10));
    // The sender has nothing left, so the first freed slot goes back at once.
    printer->consumeNext();
    EXPECT_EQ(granted(), 9u);
    printer->consumeNext();
    printer->consumeNext();
    EXPECT_EQ(granted(), 9u);  // two free slots, one credit still out: wait for a batch
    printer->consumeNext();
    EXPECT_EQ(granted(), 12u);
    EXPECT_EQ(printer->stats().bytesConsumed, 40u);
    EXPECT_EQ(printer->stats().overrunWrites, 0u);
}

TEST_F(VirtualPrinterTest, WritesBeyondTheCreditsAreKeptAndCounted) {
    auto printer = make({.bufferChunks = 2});
    printer->dataWritten({0xAA});  // before subscribing: no credit yet, and one slot taken
    printer->setNotifying(PrinterGatt::credit(), true);
    EXPECT_EQ(granted(), 1u);
    printer->dataWritten({0xBB});
    printer->dataWritten({0xCC});
    EXPECT_EQ(printer->stats().overrunWrites, 2u);
    EXPECT_EQ(received, (Bytes{0xAA, 0xBB, 0xCC}));
}

TEST_F(VirtualPrinterTest, CreditLimitHoldsCreditsBackForGood) {
    auto printer = make({.bufferChunks = 4, .creditBatch = 1, .creditLimit = 6});
    printer->setNotifying(PrinterGatt::credit(), true);
    for (int i = 0; i < 4; ++i) {
        printer->dataWritten({1});
        printer->consumeNext();
    }
    EXPECT_EQ(granted(), 6u);  // 4 first, then only 2 more
    printer->setGrantingCredits(false);
    printer->setGrantingCredits(true);
    EXPECT_EQ(granted(), 6u);
}

TEST_F(VirtualPrinterTest, SubscribingReportsMtuLittleEndianThenTheBufferOnceAndAgainAfterALinkDrop) {
    auto printer = make({.mtu = 0x0134, .bufferChunks = 4, .bytesPerSecond = 100});
    printer->setNotifying(PrinterGatt::credit(), true);
    printer->setNotifying(PrinterGatt::credit(), true);  // again: no second grant
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].value, (Bytes{0x02, 0x34, 0x01}));
    EXPECT_EQ(reports[1].value, (Bytes{0x01, 0x04}));
    // A dropped link forgets grants and subscriptions, but what is buffered is printed.
    printer->setNotifying(PrinterGatt::command(), true);
    printer->dataWritten({1, 2});
    printer->linkDropped();
    EXPECT_FALSE(printer->report(PrinterGatt::command(), {0xFF, 0x01}));
    EXPECT_EQ(printer->bufferedChunks(), 1u);
    printer->consumeNext();
    EXPECT_EQ(received, (Bytes{1, 2}));
    reports.clear();
    EXPECT_FALSE(printer->linkEstablished());  // waits for the central to subscribe
    EXPECT_TRUE(reports.empty());
    printer->setNotifying(PrinterGatt::credit(), true);
    EXPECT_EQ(granted(), 4u);  // the full buffer again, not the 3 left of the old grant
}

// A printer whose stack restores the FF03 subscription reports at each link by itself; the
// central's own subscription then changes nothing, so no slot is granted twice.
TEST_F(VirtualPrinterTest, EarlyNotifyingPrinterGrantsAtEachLinkAndNotAgainOnSubscribing) {
    auto printer = make({.mtu = 100, .bufferChunks = 4, .bytesPerSecond = 100, .notifiesBeforeSubscribe = true});
    EXPECT_TRUE(printer->linkEstablished());
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].value, (Bytes{0x02, 100, 0}));
    EXPECT_EQ(granted(), 4u);
    printer->setNotifying(PrinterGatt::credit(), true);
    EXPECT_EQ(reports.size(), 2u);
    printer->setNotifying(PrinterGatt::credit(), false);
    printer->setNotifying(PrinterGatt::credit(), true);
    EXPECT_EQ(granted(), 4u);  // all four still out
    printer->dataWritten({1});
    printer->linkDropped();
    EXPECT_TRUE(printer->linkEstablished());
    EXPECT_EQ(granted(), 4u + 3u);  // one slot still holds the chunk not yet printed
    EXPECT_EQ(printer->outstandingCredits(), 3u);
}

}  // namespace
}  // namespace ble::sim
