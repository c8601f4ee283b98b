// The BLE manager's transfer on the simulated radio: credit arithmetic, MTU changes, job
// replacement, printer reports, the characteristic hook and a concurrent burst.
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

    ManagerRig rig_{{printer(kPrinter)}};
};

TEST_F(ManualCredits, ThousandBytesGoOutAsMtuChunksOnePerCredit) {
    grant(3, 3);
    const ble::Bytes job = pattern(1000);
    rig_.manager->sendPrintData(kPrinter, job);
    EXPECT_TRUE(rig_.logger.lines.contains("chunkSize size 512"));
    EXPECT_TRUE(rig_.logger.lines.contains("已发送 182 字节, 当前偏移量：546/1000"));
    EXPECT_TRUE(rig_.logger.lines.contains("credit 为 0，延迟发送数据"));
    EXPECT_EQ(rig_.manager->sendDataOffset(), 546u);
    EXPECT_TRUE(rig_.reply.messages.all().empty());
    EXPECT_EQ(rig_.reply.stops.size(), 1u);

    rig_.grant(kPrinter, 4);
    ASSERT_TRUE(rig_.waitUntil([&] { return rig_.reply.messages.contains(kFinished); }));
    EXPECT_TRUE(rig_.logger.lines.contains("已发送 182 字节, 当前偏移量：910/1000"));
    EXPECT_TRUE(rig_.logger.lines.contains("已发送 90 字节, 当前偏移量：1000/1000"));
    EXPECT_TRUE(rig_.logger.lines.contains("已成功发送所有数据到打印机"));
    EXPECT_EQ(rig_.manager->credit(), 1);
    EXPECT_EQ(rig_.manager->sendDataOffset(), 0u);
    EXPECT_FALSE(rig_.manager->hasPendingData());
    ASSERT_TRUE(rig_.waitUntil([&] { return rig_.printed(kPrinter).size() >= job.size(); }));
    EXPECT_EQ(rig_.printed(kPrinter), job);
    EXPECT_EQ(rig_.central->printerStats(kPrinter)->dataWrites, 6u);
}

TEST_F(ManualCredits, AnMtuReportChangesTheNextChunkWithoutSpendingACredit) {
    grant(1, 1);
    rig_.manager->sendPrintData(kPrinter, pattern(1000));
    rig_.central->setMtu(kPrinter, 244);
    ASSERT_TRUE(rig_.logged("Printer update mtu [244]"));
    rig_.runFor(50ms);
    EXPECT_EQ(rig_.manager->sendDataOffset(), 182u);  // no credit, no resume

    rig_.grant(kPrinter, 1);
    ASSERT_TRUE(rig_.logged("已发送 244 字节, 当前偏移量：426/1000"));
    EXPECT_EQ(rig_.manager->mtu(), 244);
}

TEST_F(ManualCredits, AnEmptyJobSpendsOneCreditOnAnEmptyWriteOrWaitsForOne) {
    grant(1, 1);
    rig_.manager->sendPrintData(kPrinter, {});
    EXPECT_TRUE(rig_.logger.lines.contains("已发送 0 字节, 当前偏移量：0/0"));
    EXPECT_EQ(rig_.reply.messages.all(), std::vector<std::string>{kFinished});
    EXPECT_EQ(rig_.manager->credit(), 0);

    rig_.manager->sendPrintData(std::nullopt, {});  // the current printer
    EXPECT_TRUE(rig_.manager->hasPendingData());
    EXPECT_EQ(rig_.reply.messages.size(), 1u);
    rig_.grant(kPrinter, 1);
    ASSERT_TRUE(rig_.waitUntil([&] { return rig_.reply.messages.count(kFinished) == 2; }));
}

TEST_F(ManualCredits, ASecondJobReplacesOneWaitingForCredit) {
    grant(1, 1);
    const ble::Bytes first = pattern(1000, 1);
    const ble::Bytes second = pattern(100, 2);
    rig_.manager->sendPrintData(kPrinter, first);
    rig_.manager->sendPrintData(kPrinter, second);
    rig_.grant(kPrinter, 2);
    ASSERT_TRUE(rig_.waitUntil([&] { return rig_.reply.messages.contains(kFinished); }));
    rig_.grant(kPrinter, 5);
    ASSERT_TRUE(rig_.logged("creditCharacteristic: Printer update credit [6]"));

    ble::Bytes expected;
    expected.reserve(182 + second.size());
    expected.insert(expected.end(), first.begin(), first.begin() + 182);
    expected.insert(expected.end(), second.begin(), second.end());
    ASSERT_TRUE(rig_.waitUntil([&] { return rig_.printed(kPrinter).size() >= expected.size(); }));
    EXPECT_EQ(rig_.printed(kPrinter), expected);
    EXPECT_EQ(rig_.reply.messages.all(), std::vector<std::string>{kFinished});
}

TEST_F(ManualCredits, ReportsAreDecodedInOrderByTheCharacteristicTheyCameFrom) {
    std::vector<PrinterError> errors;
    std::mutex errorsMutex;
    rig_.manager->setErrorComplete([&](const PrinterError& error) {
        std::lock_guard lock(errorsMutex);
        errors.push_back(error);
    });
    const auto text = [](std::string_view value) { return ble::Bytes(value.begin(), value.end()); };
    grant(5, 5);
    // On the credit characteristic only credit and MTU reports count.
    rig_.central->notify(kPrinter, PrinterGatt::credit(), {0x01, 0x00});
    rig_.central->notify(kPrinter, PrinterGatt::credit(), {0x02, 0x00, 0x01});
    rig_.central->notify(kPrinter, PrinterGatt::credit(), {0x02, 0x00, 0x00});
    rig_.central->notify(kPrinter, PrinterGatt::credit(), {0xFF, 0x01});
    grant(1, 6);
    EXPECT_TRUE(rig_.logger.lines.contains("Printer update mtu [256]"));
    EXPECT_EQ(rig_.manager->mtu(), 256);
    // Elsewhere status and error reports count.
    rig_.central->reportStatus(kPrinter, 1);
    rig_.central->notify(kPrinter, PrinterGatt::command(), {0xFF, 0x09});
    rig_.central->notify(kPrinter, PrinterGatt::command(), {0xFF, 0x02, 0x00});
    rig_.central->notify(kPrinter, PrinterGatt::command(), {0x01, 0x05});
    rig_.central->reportError(kPrinter, "error 3");
    rig_.central->notify(kPrinter, PrinterGatt::command(), text("Error"));
    rig_.central->reportStatus(kPrinter, 4);
    ASSERT_TRUE(rig_.logged("PRINTER REPORT SUCCESS Status 4"));

    EXPECT_TRUE(rig_.logger.lines.contains("PRINTER REPORT SUCCESS Status 2"));
    EXPECT_TRUE(rig_.logger.lines.contains("PRINTER REPORT SUCCESS Status 5"));
    EXPECT_EQ(rig_.logger.lines.count("PRINTER REPORT ERROR!!!"), 1u);
    EXPECT_EQ(rig_.manager->credit(), 6);
    std::lock_guard lock(errorsMutex);
    std::vector<int> codes;
    for (const auto& error : errors) codes.push_back(error.code);
    EXPECT_EQ(codes, (std::vector<int>{2, 5, 1001, 4}));
    EXPECT_EQ(errors[2], deviceDataError());
}

TEST(BLEPrinterManagerTransfer, YF316PrintersLogTheirOwnWaitLine) {
    ManagerRig rig({printer("YF-316-0A12")});
    rig.central->setGrantingCredits("YF-316-0A12", false);
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed("YF-316-0A12"));
    EXPECT_TRUE(rig.manager->isYF316Device());
    rig.manager->sendPrintData("YF-316-0A12", pattern(10));
    EXPECT_TRUE(rig.logger.lines.contains("credit <=0 ， YF-316"));
    EXPECT_FALSE(rig.logger.lines.contains("credit 为 0，延迟发送数据"));
}

TEST(BLEPrinterManagerTransfer, UnknownPrinterStartsNothing) {
    ManagerRig rig({printer(kPrinter)});
    ASSERT_TRUE(rig.start());
    rig.manager->sendPrintData("QMT53-B", pattern(10));
    EXPECT_TRUE(rig.logger.lines.contains("特征或打印机未找到，并初始化"));
    EXPECT_FALSE(rig.manager->hasPendingData());
    EXPECT_EQ(rig.reply.stops.size(), 0u);
}

TEST(BLEPrinterManagerTransfer, APrinterWithoutDataCharacteristicGetsNothingAndTheBackendHearsError) {
    ManagerRig rig({});
    rig.central->addAdvertiser("QMT53-Bare");
    std::vector<std::string> hookCalls;
    rig.manager->setCallback([&](std::shared_ptr<ble::Characteristic> characteristic, const std::optional<std::string>& name) {
        hookCalls.push_back(name.value_or("") + (characteristic ? " found" : " none"));
    });
    // The job is handed over as the link comes up, before its services are known.
    rig.tracker.onOnline = [&] { rig.manager->sendPrintData(std::nullopt, pattern(500)); };
    rig.manager->setDeviceName("QMT53-Bare");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return !hookCalls.empty(); }));
    EXPECT_EQ(hookCalls, std::vector<std::string>{"QMT53-Bare none"});
    EXPECT_EQ(rig.reply.messages.all(), std::vector<std::string>{"status error"});
    EXPECT_TRUE(rig.logger.lines.contains("No write-without-response characteristic: job not sent"));
    EXPECT_FALSE(rig.manager->hasPendingData());

    // Once the link is known to lack it, a job fails at once.
    rig.manager->sendPrintData("QMT53-Bare", pattern(10));
    EXPECT_EQ(rig.reply.messages.count("status error"), 2u);
    EXPECT_FALSE(rig.manager->hasPendingData());
    EXPECT_FALSE(rig.reply.messages.contains(kFinished));
}

TEST(BLEPrinterManagerTransfer, TheCharacteristicHookLetsAJobWaitForItsPrinter) {
    ManagerRig rig({printer(kPrinter)});
    const ble::Bytes job = pattern(3000);
    const auto mainThread = std::this_thread::get_id();
    int calls = 0;
    rig.manager->setCallback([&](std::shared_ptr<ble::Characteristic> characteristic, const std::optional<std::string>& name) {
        ++calls;
        EXPECT_EQ(std::this_thread::get_id(), mainThread);
        ASSERT_TRUE(characteristic);
        EXPECT_EQ(characteristic->uuid().text(), "FF02");
        asio::post(rig.io, [&, name] { rig.manager->sendPrintData(name, job); });
    });
    rig.manager->setDeviceName(kPrinter);
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.reply.messages.contains(kFinished); }));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.printed(kPrinter).size() >= job.size(); }));
    EXPECT_EQ(rig.printed(kPrinter), job);
    EXPECT_EQ(calls, 1);
}

TEST(BLEPrinterManagerTransfer, ALinkLostMidJobResumesAtItsOffsetWithTheNewLinksCredits) {
    ble::sim::PrinterSettings settings;
    settings.dropLinkAfterBytes = 1000;
    ManagerRig rig({printer(kPrinter, settings)});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed(kPrinter));
    const ble::Bytes job = pattern(6000);
    rig.manager->sendPrintData(kPrinter, job);
    ASSERT_TRUE(rig.waitUntil([&] { return rig.tracker.offline.size() == 1; }));
    EXPECT_EQ(rig.manager->credit(), 0);  // the lost link's credits went with it
    EXPECT_TRUE(rig.manager->hasPendingData());
    rig.manager->setDeviceName(kPrinter);
    rig.manager->startScan();
    ASSERT_TRUE(rig.waitUntil([&] { return rig.reply.messages.contains(kFinished); }));
    rig.runFor(50ms);
    // Writes already on their way when the link fell are lost (nothing acknowledges them);
    // the rest follows from the job's offset, with nothing sent twice and no write beyond
    // the new link's credits.
    const ble::Bytes printed = rig.printed(kPrinter);
    ASSERT_LT(printed.size(), job.size());
    const auto [printedGap, jobGap] = std::mismatch(printed.begin(), printed.end(), job.begin());
    const std::size_t tail = static_cast<std::size_t>(printed.end() - printedGap);
    EXPECT_GE(static_cast<std::size_t>(printedGap - printed.begin()), 1000u);
    EXPECT_TRUE(std::equal(printedGap, printed.end(), job.end() - static_cast<std::ptrdiff_t>(tail)));
    EXPECT_EQ(rig.central->printerStats(kPrinter)->overrunWrites, 0u);
}

// The reader's thread hands over jobs while credit grants resume the transfer on the print
// queue, another thread pokes the send loop, and the main queue delivers the radio's
// callbacks: every byte must arrive once, in order, paced by the printer's credits.
TEST(BLEPrinterManagerTransfer, ConcurrentGrantsAndHandOversNeitherRepeatNorSkipAChunk) {
    ble::sim::PrinterSettings settings;
    settings.mtu = 23;
    settings.bufferChunks = 3;
    settings.creditBatch = 1;
    ManagerRig rig({printer(kPrinter, settings)});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed(kPrinter));
    constexpr int kJobs = 4;
    ble::Bytes expected;
    std::vector<ble::Bytes> jobs;
    for (int i = 0; i < kJobs; ++i) {
        jobs.push_back(pattern(7000 + 13 * static_cast<std::size_t>(i), static_cast<std::uint8_t>(i)));
        expected.insert(expected.end(), jobs.back().begin(), jobs.back().end());
    }
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < kJobs; ++i) {
            rig.manager->sendPrintData(kPrinter, jobs[static_cast<std::size_t>(i)]);
            if (!rig.reply.waitFor(kFinished, static_cast<std::size_t>(i + 1), 30s)) break;
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
    const bool finished = rig.waitUntil([&] { return done.load(); }, 60s);
    reader.join();
    poker.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(rig.reply.messages.count(kFinished), static_cast<std::size_t>(kJobs));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.printed(kPrinter).size() >= expected.size(); }));
    EXPECT_EQ(rig.printed(kPrinter), expected);
    EXPECT_EQ(rig.central->printerStats(kPrinter)->overrunWrites, 0u);
}

}  // namespace
}  // namespace quorvel::test
