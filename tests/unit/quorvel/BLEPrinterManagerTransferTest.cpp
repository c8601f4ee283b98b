// The BLE manager's transfers on the simulated radio: credits and MTU changes on a real link,
// a busy link refusing a second job, printer reports
// (decoded byte for byte), a printer that cannot take data and a concurrent burst. The credit
// arithmetic itself is LinkTransfer's own test.
#include "ManagerRig.h"

#include "quorvel/PrinterReports.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quorvel::test {
namespace {

using namespace std::chrono_literals;
using ble::sim::PrinterGatt;

const std::string kPrinter = "QMT53-A";

std::string ended(const char* kind, int job) { return std::string(kind) + " " + std::to_string(job) + " " + kPrinter; }

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

    ManagerRig rig_{{printer(kPrinter)}};
};

// On a real link (the arithmetic is LinkTransfer's test): MTU-long chunks, one per credit, an
// MTU report that changes the next, and a busy link that refuses a second job, never replacing
// the first.
TEST_F(ManualCredits, ChunksFollowCreditsAndMtuReportsAndABusyLinkRefusesASecondJob) {
    grant(2, 2);
    const ble::Bytes first = pattern(1000, 1);
    EXPECT_TRUE(rig_.manager->sendPrintData(std::nullopt, 1, ManagerRig::job(first)));  // the current printer
    EXPECT_TRUE(sent(182, 364, 1000));
    EXPECT_FALSE(rig_.manager->isReadyForJob(kPrinter));
    EXPECT_FALSE(rig_.manager->sendPrintData(kPrinter, 2, ManagerRig::job(pattern(100, 2))));
    rig_.central->setMtu(kPrinter, 244);
    ASSERT_TRUE(rig_.logged("Printer update mtu [244]"));
    grant(10, 10);
    ASSERT_TRUE(rig_.waitUntil([&] { return rig_.ends.contains(ended("finished", 1)); }));
    EXPECT_TRUE(sent(244, 608, 1000));
    EXPECT_TRUE(rig_.manager->isReadyForJob(kPrinter));
    ASSERT_TRUE(rig_.printedAtLeast(kPrinter, first.size()));
    EXPECT_EQ(rig_.printed(kPrinter), first);
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
    rig.onOnline = [&] { EXPECT_FALSE(rig.manager->sendPrintData(std::nullopt, 1, ManagerRig::job(pattern(500)))); };
    rig.manager->setDeviceName("QMT53-Bare");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return hookCalls.contains("QMT53-Bare none main"); }));
    EXPECT_TRUE(rig.manager->isReadyForJob("QMT53-Bare"));  // to take a job and fail it, not to keep it
    // Known to lack it: the job fails at once instead of being swallowed.
    EXPECT_TRUE(rig.manager->sendPrintData("QMT53-Bare", 2, ManagerRig::job(pattern(10))));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.ends.contains("failed 2 QMT53-Bare"); }));
    EXPECT_TRUE(rig.logger.contains("No write-without-response characteristic: job not sent"));
    EXPECT_EQ(hookCalls.size(), 1u);
    EXPECT_FALSE(rig.manager->hasPendingData());
}

// A radio may turn a printer's notifications back on by itself, so its credits come before we
// asked for them: they count once, when we turn notifications on.
TEST(BLEPrinterManagerTransfer, EarlyCreditsCountOnce) {
    ManagerRig rig({printer(kPrinter, {.mtu = 100, .notifiesBeforeSubscribe = true})});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed(kPrinter, 100));
    ASSERT_TRUE(rig.logged("creditCharacteristic: Printer update credit [16]"));
    const ble::Bytes job = pattern(5000, 3);
    EXPECT_TRUE(rig.manager->sendPrintData(kPrinter, 1, ManagerRig::job(job)));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.ends.contains(ended("finished", 1)); }));
    ASSERT_TRUE(rig.printedAtLeast(kPrinter, job.size()));
    EXPECT_EQ(rig.printed(kPrinter), job);
    EXPECT_EQ(rig.central->printerStats(kPrinter)->overrunWrites, 0u);
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
            const int id = static_cast<int>(i) + 1;
            EXPECT_TRUE(rig.manager->sendPrintData(kPrinter, static_cast<std::uint64_t>(id), ManagerRig::job(jobs[i])));
            for (int ms = 0; ms < 30000 && !rig.ends.contains(ended("finished", id)); ++ms)
                std::this_thread::sleep_for(1ms);
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
    EXPECT_EQ(rig.ends.size(), std::size_t{kJobs});
    ASSERT_TRUE(rig.printedAtLeast(kPrinter, expected.size()));
    EXPECT_EQ(rig.printed(kPrinter), expected);
    EXPECT_EQ(rig.central->printerStats(kPrinter)->overrunWrites, 0u);
}

}  // namespace
}  // namespace quorvel::test
