// The virtual printer's credit, MTU and report behaviour, without a radio.
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
            [this](std::span<const std::uint8_t> bytes) { consumed.insert(consumed.end(), bytes.begin(), bytes.end()); });
    }
    std::uint64_t granted() const {
        std::uint64_t sum = 0;
        for (const Report& r : reports)
            if (r.characteristic == PrinterGatt::credit() && r.value.size() == 2 && r.value[0] == kCreditReport)
                sum += r.value[1];
        return sum;
    }

    std::vector<Report> reports;
    Bytes consumed;
};

TEST_F(VirtualPrinterTest, PacedPrinterReturnsCreditsInBatchesAndWhenTheSenderRunsDry) {
    auto printer = make({.bufferChunks = 8, .creditBatch = 3, .bytesPerSecond = 1000});
    printer->setNotifying(PrinterGatt::credit(), true);
    for (int i = 0; i < 8; ++i) printer->dataWritten(Bytes(10, static_cast<std::uint8_t>(i)));
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
    EXPECT_EQ(consumed.size(), 40u);
    EXPECT_EQ(consumed[10], 1);
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
    while (printer->nextConsumeDelay()) printer->consumeNext();
    EXPECT_EQ(consumed, (Bytes{0xAA, 0xBB, 0xCC}));
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
    printer->consumeNext();
    EXPECT_EQ(consumed, (Bytes{1, 2}));
    reports.clear();
    printer->setNotifying(PrinterGatt::credit(), true);
    EXPECT_EQ(granted(), 4u);  // the full buffer again, not the 3 left of the old grant
}

}  // namespace
}  // namespace ble::sim
