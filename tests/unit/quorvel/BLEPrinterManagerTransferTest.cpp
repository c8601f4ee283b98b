// The BLE manager's transfer on the simulated radio: credit arithmetic, MTU changes, job
// replacement, links lost mid-job, printer reports, the characteristic hook and a concurrent burst.
#include "ManagerRig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quorvel::test {
namespace {

using namespace std::chrono_literals;
using ble::sim::PrinterGatt;

const std::string kPrinter = "QMT53-A";
const std::string kFinished = "status finished";
const std::string kError = "status error";

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
    bool reconnected() {
        rig_.central->dropLink(kPrinter);
        // The new link's MTU report says its notifications are on, so grants reach the manager.
        return rig_.waitUntil([&] { return rig_.offline.size() == 1; }) && rig_.connectNamed(kPrinter) &&
               rig_.waitUntil([&] { return rig_.logger.lines.count("Printer update mtu [182]") == 2; });
    }

    ManagerRig rig_{{printer(kPrinter)}};
};

TEST_F(ManualCredits, ThousandBytesGoOutAsMtuChunksOnePerCreditAndAnMtuReportChangesTheNext) {
    grant(3, 3);
    const ble::Bytes job = pattern(1000);
    rig_.manager->sendPrintData(kPrinter, job);
    EXPECT_TRUE(rig_.logger.lines.contains("chunkSize size 512"));
    EXPECT_TRUE(sent(182, 546, 1000));
    EXPECT_TRUE(rig_.logger.lines.contains("credit 为 0，延迟发送数据"));
    EXPECT_TRUE(rig_.replies.all().empty());
    EXPECT_EQ(rig_.readerStops.size(), 1u);

    rig_.central->setMtu(kPrinter, 244);  // no credit comes with it: nothing is sent
    ASSERT_TRUE(rig_.logged("Printer update mtu [244]"));
    rig_.runFor(30ms);
    EXPECT_EQ(rig_.manager->sendDataOffset(), 546u);
    rig_.grant(kPrinter, 4);
    ASSERT_TRUE(rig_.waitUntil([&] { return rig_.replies.contains(kFinished); }));
    EXPECT_TRUE(sent(244, 790, 1000) && sent(210, 1000, 1000));
    EXPECT_TRUE(rig_.logger.lines.contains("已成功发送所有数据到打印机"));
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

// Writes without response are never acknowledged: once part of a job went into a link that
// fell, the label cannot be finished soundly, and the backend must hear so.
TEST_F(ManualCredits, ALinkLostMidJobAbandonsTheJobWithAnError) {
    grant(3, 3);
    rig_.manager->sendPrintData(kPrinter, pattern(1000));
    ASSERT_TRUE(reconnected());
    EXPECT_TRUE(rig_.logger.lines.contains("Link to QMT53-A lost mid-job after 546/1000 bytes: job abandoned"));
    EXPECT_EQ(rig_.replies.all(), std::vector<std::string>{kError});
    EXPECT_FALSE(rig_.manager->hasPendingData());
    grant(8, 8);
    rig_.runFor(30ms);
    EXPECT_LE(rig_.central->printerStats(kPrinter)->dataBytes, 546u);
    EXPECT_FALSE(rig_.replies.contains(kFinished));
}

TEST_F(ManualCredits, AJobNotStartedWhenTheLinkFellWaitsForTheNextLink) {
    const ble::Bytes job = pattern(700);
    rig_.manager->sendPrintData(kPrinter, job);
    ASSERT_TRUE(reconnected());
    EXPECT_TRUE(rig_.manager->hasPendingData());
    EXPECT_TRUE(rig_.replies.all().empty());
    rig_.grant(kPrinter, 4);
    ASSERT_TRUE(rig_.waitUntil([&] { return rig_.replies.contains(kFinished); }));
    ASSERT_TRUE(rig_.printedAtLeast(kPrinter, job.size()));
    EXPECT_EQ(rig_.printed(kPrinter), job);
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
    EXPECT_EQ(rig_.logger.lines.count("PRINTER REPORT ERROR!!!"), 1u);
    EXPECT_EQ(rig_.manager->credit(), 6);
    EXPECT_EQ(codes.all(), (std::vector<std::string>{"2", "5", "1001", "4"}));
}

TEST(BLEPrinterManagerTransfer, APrinterWithoutDataCharacteristicGetsNothingAndTheBackendHearsError) {
    ManagerRig rig({});
    rig.central->addAdvertiser("QMT53-Bare");
    Lines hookCalls;
    rig.manager->setCallback([&](std::shared_ptr<ble::Characteristic> characteristic, const std::optional<std::string>& name) {
        hookCalls.add(name.value_or("") + (characteristic ? " found" : " none"));
    });
    // The job is handed over as the link comes up, before its services are known.
    rig.onOnline = [&] { rig.manager->sendPrintData(std::nullopt, pattern(500)); };
    rig.manager->setDeviceName("QMT53-Bare");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return hookCalls.contains("QMT53-Bare none"); }));
    EXPECT_EQ(rig.replies.all(), std::vector<std::string>{kError});
    EXPECT_TRUE(rig.logger.lines.contains("No write-without-response characteristic: job not sent"));
    rig.manager->sendPrintData("QMT53-Bare", pattern(10));  // known to lack it: fails at once
    EXPECT_EQ(rig.replies.all(), (std::vector<std::string>{kError, kError}));
    EXPECT_FALSE(rig.manager->hasPendingData());
}

TEST(BLEPrinterManagerTransfer, TheCharacteristicHookLetsAJobWaitForItsPrinter) {
    ManagerRig rig({printer(kPrinter)});
    const ble::Bytes job = pattern(3000);
    Lines calls;
    rig.manager->setCallback([&](std::shared_ptr<ble::Characteristic> characteristic, const std::optional<std::string>& name) {
        calls.add(characteristic->uuid().text() + (rig.io.get_executor().running_in_this_thread() ? " main" : ""));
        asio::post(rig.io, [&, name] { rig.manager->sendPrintData(name, job); });
    });
    rig.manager->setDeviceName(kPrinter);
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.replies.contains(kFinished); }) && rig.printedAtLeast(kPrinter, 3000));
    EXPECT_EQ(rig.printed(kPrinter), job);
    EXPECT_EQ(calls.all(), std::vector<std::string>{"FF02 main"});
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
