// The BLE manager's transfer on the simulated radio: credit arithmetic, MTU changes, job
// replacement, links lost mid-job, printer reports (decoded byte for byte), a printer that
// cannot take data and a concurrent burst. The agent chain tests send a kept job through the
// characteristic hook.
#include "ManagerRig.h"

#include "quorvel/PrinterReports.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quorvel::test {
namespace {

using namespace std::chrono_literals;
using ble::sim::PrinterGatt;

const std::string kPrinter = "QMT53-A", kFinished = "status finished", kError = "status error";

ble::Bytes asBytes(std::string_view value) { return ble::Bytes(value.begin(), value.end()); }

ble::Bytes pattern(std::size_t length, std::uint8_t seed = 0) {
    ble::Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return bytes;
}

// A printer that grants nothing by itself: the test hands out every credit.
class ManualCredits : public ::testing::Test {
protected:
    void SetUp() override {
        rig_.central->setGrantingCredits(kPrinter, false);
        ASSERT_TRUE(rig_.start());
        ASSERT_TRUE(rig_.connectNamed(kPrinter));
    }
    void grant(std::uint8_t credits, int expectedTotal) {
        rig_.grant(kPrinter, credits);
        ASSERT_TRUE(rig_.logged("creditCharacteristic: Printer update credit [" + std::to_string(expectedTotal) + "]"));
    }
    bool sent(std::size_t length, std::size_t offset, std::size_t total) {
        return rig_.logged("已发送 " + std::to_string(length) + " 字节, 当前偏移量：" + std::to_string(offset) + "/" +
                           std::to_string(total));
    }
    // Drops the link and waits for link number `link` to be up with its MTU report in (whose
    // notifications being on lets grants reach the manager).
    bool reconnected(std::size_t link) {
        rig_.central->dropLink(kPrinter);
        return rig_.waitUntil([&] { return rig_.offline.size() == link - 1; }) && rig_.connectNamed(kPrinter) &&
               rig_.waitUntil([&] { return rig_.logger.count("Printer update mtu [182]") == link; });
    }

    ManagerRig rig_{{printer(kPrinter)}};
};

TEST_F(ManualCredits, ThousandBytesGoOutAsMtuChunksOnePerCreditAndAnMtuReportChangesTheNext) {
    grant(3, 3);
    const ble::Bytes job = pattern(1000);
    rig_.manager->sendPrintData(kPrinter, job);
    EXPECT_TRUE(rig_.logger.contains("chunkSize size 512"));
    EXPECT_TRUE(sent(182, 546, 1000));
    EXPECT_TRUE(rig_.logger.contains("credit 为 0，延迟发送数据"));
    EXPECT_TRUE(rig_.replies.all().empty());
    EXPECT_EQ(rig_.readerStops.size(), 1u);

    rig_.central->setMtu(kPrinter, 244);  // no credit comes with it: nothing is sent
    ASSERT_TRUE(rig_.logged("Printer update mtu [244]"));
    rig_.runFor(30ms);
    EXPECT_EQ(rig_.manager->sendDataOffset(), 546u);
    rig_.grant(kPrinter, 4);
    ASSERT_TRUE(rig_.waitUntil([&] { return rig_.replies.contains(kFinished); }));
    EXPECT_TRUE(sent(244, 790, 1000) && sent(210, 1000, 1000));
    EXPECT_TRUE(rig_.logger.contains("已成功发送所有数据到打印机"));
    EXPECT_EQ(rig_.manager->credit(), 2);
    EXPECT_FALSE(rig_.manager->hasPendingData());
    ASSERT_TRUE(rig_.printedAtLeast(kPrinter, job.size()));
    EXPECT_EQ(rig_.printed(kPrinter), job);
    EXPECT_EQ(rig_.central->printerStats(kPrinter)->dataWrites, 5u);
}

TEST_F(ManualCredits, AnEmptyJobSpendsACreditAndASecondJobReplacesOneWaitingForCredit) {
    grant(2, 2);
    rig_.manager->sendPrintData(kPrinter, {});
    EXPECT_TRUE(sent(0, 0, 0));
    EXPECT_EQ(rig_.replies.all(), std::vector<std::string>{kFinished});
    const ble::Bytes first = pattern(1000, 1), second = pattern(100, 2);
    rig_.manager->sendPrintData(std::nullopt, first);  // the current printer
    rig_.manager->sendPrintData(kPrinter, second);
    EXPECT_TRUE(rig_.manager->hasPendingData());
    grant(5, 5);
    ASSERT_TRUE(rig_.waitUntil([&] { return rig_.replies.count(kFinished) == 2; }));
    ble::Bytes expected(first.begin(), first.begin() + 182);
    expected.insert(expected.end(), second.begin(), second.end());
    ASSERT_TRUE(rig_.printedAtLeast(kPrinter, expected.size()));
    EXPECT_EQ(rig_.printed(kPrinter), expected);
}

// A job not started when its link fell waits for the next link. Writes without response are
// never acknowledged: once part of a job went into a link that fell, the label cannot be
// finished soundly, and the backend must hear so.
TEST_F(ManualCredits, AJobWaitsOverALostLinkUntilItStartsAndIsAbandonedWithAnErrorWhenLostMidJob) {
    const ble::Bytes job = pattern(700);
    rig_.manager->sendPrintData(kPrinter, job);
    ASSERT_TRUE(reconnected(2));
    EXPECT_TRUE(rig_.manager->hasPendingData());
    grant(3, 3);
    ASSERT_TRUE(sent(182, 546, 700) && rig_.printedAtLeast(kPrinter, 546));
    EXPECT_TRUE(rig_.replies.all().empty());
    ASSERT_TRUE(reconnected(3));
    EXPECT_TRUE(rig_.logger.contains("Link to QMT53-A lost mid-job after 546/700 bytes: job abandoned"));
    EXPECT_EQ(rig_.replies.all(), std::vector<std::string>{kError});
    EXPECT_FALSE(rig_.manager->hasPendingData());
    grant(8, 8);
    rig_.runFor(30ms);
    EXPECT_FALSE(rig_.replies.contains(kFinished));
    EXPECT_EQ(rig_.printed(kPrinter), ble::Bytes(job.begin(), job.begin() + 546));  // nothing sent again
}

TEST(PrinterReports, CreditMtuStatusAndErrorReportsNeedTheirExactShape) {
    const std::vector<std::pair<ble::Bytes, int>> credits = {
        {{0x01, 0x05}, 5}, {{0x01, 0xFF}, 255}, {{0x01, 0x00}, 0}, {{0x01, 0x05, 0x00}, 0}, {{0x02, 0x05}, 0}, {{}, 0}};
    for (const auto& [value, credit] : credits) EXPECT_EQ(creditWith(value), credit) << value.size();
    const std::vector<std::pair<ble::Bytes, int>> mtus = {{{0x02, 0xF4, 0x00}, 244}, {{0x02, 0x00, 0x01}, 256},
                                                          {{0x02, 0xFF, 0xFF}, 65535}, {{0x02, 0x00, 0x00}, 0},
                                                          {{0x02, 0xF4}, 0},          {{0x01, 0xF4, 0x00}, 0}};
    for (const auto& [value, mtu] : mtus) EXPECT_EQ(mtuWith(value), mtu) << mtu;
    // Status codes swap one and two and fold the rest into five; errors are UTF-8 text beginning "er".
    const std::vector<std::pair<std::uint8_t, int>> table = {{1, 2}, {2, 1}, {3, 3}, {4, 4}, {0, 5}, {5, 5}, {9, 5}, {255, 5}};
    for (const auto& [status, code] : table) EXPECT_EQ(statusCodeWith({0xFF, status}), code) << int(status);
    for (const ble::Bytes& value : {ble::Bytes{0xFF, 0x01, 0x00}, {0xFF}, {0xFE, 0x01}})
        EXPECT_EQ(statusCodeWith(value), std::nullopt);
    for (const ble::Bytes& value : {asBytes("error 3"), {0x65, 0x72}, asBytes("er: 纸张")}) EXPECT_TRUE(isErrorReport(value));
    for (const ble::Bytes& value : {asBytes("Error"), asBytes("e"), {0x65, 0x72, 0xFF}, {}}) EXPECT_FALSE(isErrorReport(value));
    EXPECT_EQ(deviceDataError(), (PrinterError{"com.pell.sdk", 1001, "设备数据错误"}));
    EXPECT_EQ(printFailedError(4), (PrinterError{"com.pell.sdk", 4, "打印失败"}));
}

TEST_F(ManualCredits, ReportsAreDecodedInOrderByTheCharacteristicTheyCameFrom) {
    Lines codes;
    rig_.manager->setErrorComplete([&](const PrinterError& error) { codes.add(std::to_string(error.code)); });
    grant(5, 5);
    // On the credit characteristic only credit and MTU reports count.
    for (const ble::Bytes& value : {ble::Bytes{0x01, 0x00}, {0x02, 0x00, 0x01}, {0x02, 0x00, 0x00}, {0xFF, 0x01}})
        rig_.central->notify(kPrinter, PrinterGatt::credit(), value);
    grant(1, 6);
    EXPECT_EQ(rig_.manager->mtu(), 256);
    // Elsewhere status and error reports count.
    rig_.central->reportStatus(kPrinter, 1);
    for (const ble::Bytes& value : {ble::Bytes{0xFF, 0x09}, {0xFF, 0x02, 0x00}, {0x01, 0x05}, {'E', 'r', 'r'}})
        rig_.central->notify(kPrinter, PrinterGatt::command(), value);
    rig_.central->reportError(kPrinter, "error 3");
    rig_.central->reportStatus(kPrinter, 4);
    ASSERT_TRUE(rig_.logged("PRINTER REPORT SUCCESS Status 4"));
    EXPECT_EQ(rig_.logger.count("PRINTER REPORT ERROR!!!"), 1u);
    EXPECT_EQ(rig_.manager->credit(), 6);
    EXPECT_EQ(codes.all(), (std::vector<std::string>{"2", "5", "1001", "4"}));
}

TEST(BLEPrinterManagerTransfer, APrinterWithoutDataCharacteristicGetsNothingAndTheBackendHearsError) {
    ManagerRig rig({});
    rig.central->addAdvertiser("QMT53-Bare");
    Lines hookCalls;
    rig.manager->setCallback([&](std::shared_ptr<ble::Characteristic> characteristic, const std::optional<std::string>& name) {
        const bool onMain = rig.io.get_executor().running_in_this_thread();
        hookCalls.add(name.value_or("") + (characteristic ? " found" : " none") + (onMain ? " main" : ""));
    });
    // The job is handed over as the link comes up, before its services are known.
    rig.onOnline = [&] { rig.manager->sendPrintData(std::nullopt, pattern(500)); };
    rig.manager->setDeviceName("QMT53-Bare");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return hookCalls.contains("QMT53-Bare none main"); }));
    EXPECT_EQ(rig.replies.all(), std::vector<std::string>{kError});
    EXPECT_TRUE(rig.logger.contains("No write-without-response characteristic: job not sent"));
    rig.manager->sendPrintData("QMT53-Bare", pattern(10));  // known to lack it: fails at once
    EXPECT_EQ(rig.replies.all(), (std::vector<std::string>{kError, kError}));
    EXPECT_EQ(hookCalls.size(), 1u);
    EXPECT_FALSE(rig.manager->hasPendingData());
}

// The reader's thread hands over jobs while credit grants resume the transfer on the print
// queue, another thread pokes the send loop, and the main queue delivers the radio's
// callbacks: every byte must arrive once, in order, paced by the printer's credits.
TEST(BLEPrinterManagerTransfer, ConcurrentGrantsAndHandOversNeitherRepeatNorSkipAChunk) {
    ManagerRig rig({printer(kPrinter, {.mtu = 23, .bufferChunks = 3, .creditBatch = 1})});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed(kPrinter, 23));
    constexpr int kJobs = 4;
    ble::Bytes expected;
    std::vector<ble::Bytes> jobs;
    for (int i = 0; i < kJobs; ++i) {
        jobs.push_back(pattern(7000 + 13 * static_cast<std::size_t>(i), static_cast<std::uint8_t>(i)));
        expected.insert(expected.end(), jobs.back().begin(), jobs.back().end());
    }
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (std::size_t i = 0; i < kJobs; ++i) {
            rig.manager->sendPrintData(kPrinter, jobs[i]);
            for (int ms = 0; ms < 30000 && rig.replies.count(kFinished) <= i; ++ms) std::this_thread::sleep_for(1ms);
        }
        done = true;
    });
    std::thread poker([&] {
        // Bounded: each poke that finds no credit writes a log line.
        for (int i = 0; i < 3000 && !done; ++i) {
            rig.manager->continueSendingData();
            std::this_thread::yield();
        }
    });
    const bool finished = rig.waitUntil([&] { return done.load(); }, 150s);
    reader.join();
    poker.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(rig.replies.count(kFinished), std::size_t{kJobs});
    ASSERT_TRUE(rig.printedAtLeast(kPrinter, expected.size()));
    EXPECT_EQ(rig.printed(kPrinter), expected);
    EXPECT_EQ(rig.central->printerStats(kPrinter)->overrunWrites, 0u);
}

}  // namespace
}  // namespace quorvel::test
