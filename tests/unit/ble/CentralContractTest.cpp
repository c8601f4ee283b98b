// The contract every Bluetooth central keeps, run against each implementation.
#include "CentralTest.h"

#include <gtest/gtest.h>

namespace ble::test {
namespace {

using Kind = Event::Kind;

class CentralContract : public CentralTest, public ::testing::WithParamInterface<RadioKind> {
protected:
    void SetUp() override {
        rig_ = GetParam().make(io_, folder_.path);
        ASSERT_TRUE(adopt(rig_.central));
    }
    PeripheralPtr discoverPrinter() { return discover(rig_.printerName); }

    RadioRig rig_;
};

TEST_P(CentralContract, ScanReportsEveryAdvertisementAsTheSameObjectUntilStoppedAndPowerOffEndsEverything) {
    call([&] { central_->scanForPeripherals(); });
    EXPECT_TRUE(central_->isScanning());
    std::vector<PeripheralPtr> seen;
    ASSERT_TRUE(waitFor([&] {
        seen.clear();
        for (const Event& e : recorder_->events)
            if (e.kind == Kind::discover && e.peripheral->name() == rig_.printerName) seen.push_back(e.peripheral);
        return seen.size() >= 3;
    }));
    for (const auto& p : seen) EXPECT_EQ(p, seen.front());
    call([&] { central_->stopScan(); });
    EXPECT_FALSE(central_->isScanning());
    const auto stoppedAt = recorder_->count(Kind::discover);
    runFor(rig_.advertisingInterval * 5);
    EXPECT_EQ(recorder_->count(Kind::discover), stoppedAt);

    // Power off: the connection ends first, then the state is reported, and nothing scans.
    ASSERT_TRUE(connect(seen.front()));
    rig_.setPowered(false);
    ASSERT_TRUE(waitFor([&] { return stateIs(CentralState::poweredOff); }));
    EXPECT_EQ(central_->state(), CentralState::poweredOff);
    ASSERT_EQ(recorder_->count(Kind::disconnect), 1u);
    EXPECT_LT(recorder_->last(Kind::disconnect), recorder_->last(Kind::state));  // disconnected before the state came
    EXPECT_EQ(seen.front()->state(), PeripheralState::disconnected);
    call([&] { central_->scanForPeripherals(); });
    runFor(rig_.advertisingInterval * 3);
    EXPECT_EQ(recorder_->count(Kind::discover), stoppedAt);
    EXPECT_FALSE(central_->isScanning());
    rig_.setPowered(true);
    ASSERT_TRUE(waitFor([&] { return stateIs(CentralState::poweredOn); }));
}

TEST_P(CentralContract, AFailedConnectionIsReportedTheNextOffersTheServiceAndCancelDisconnects) {
    auto printer = discoverPrinter();
    ASSERT_NE(printer, nullptr);
    rig_.failNextConnection();
    call([&] { central_->connect(printer); });
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::failToConnect) == 1; }));
    EXPECT_TRUE(recorder_->last(Kind::failToConnect)->failed);
    EXPECT_EQ(recorder_->count(Kind::connect), 0u);
    EXPECT_NE(printer->state(), PeripheralState::connected);

    ASSERT_TRUE(connect(printer));
    EXPECT_EQ(recorder_->last(Kind::connect)->peripheral, printer);
    EXPECT_EQ(printer->state(), PeripheralState::connected);
    const Gatt gatt = discoverGatt(printer);
    ASSERT_TRUE(gatt.data && gatt.command && gatt.credit && gatt.readable);
    EXPECT_EQ(gatt.credit->uuid().text(), "FF03");
    EXPECT_EQ(gatt.credit->serviceUuid().text(), "FF00");
    EXPECT_NE(gatt.data, gatt.credit);
    EXPECT_GT(printer->maximumWriteValueLength(WriteType::withResponse), 0u);
    EXPECT_GT(printer->maximumWriteValueLength(WriteType::withoutResponse), 0u);

    call([&] { printer->readValue(gatt.readable); });
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::value) == 1; }));
    EXPECT_FALSE(recorder_->last(Kind::value)->failed);
    EXPECT_TRUE(recorder_->last(Kind::value)->value.has_value());
    call([&] { printer->writeValue({0x01}, gatt.command, WriteType::withResponse); });
    // The data characteristic takes no writes with response.
    call([&] { printer->writeValue({0x01}, gatt.data, WriteType::withResponse); });
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::write) == 2; }));
    EXPECT_FALSE(recorder_->events[recorder_->events.size() - 2].failed);
    EXPECT_TRUE(recorder_->last(Kind::write)->failed);

    // Subscribing to credits reports the MTU (two bytes, not zero) first, then the first grant.
    call([&] { printer->setNotifyValue(true, gatt.credit); });
    ASSERT_TRUE(waitFor([&] { return creditsGranted(gatt.credit) > 0; }));
    EXPECT_TRUE(gatt.credit->isNotifying());
    std::vector<Bytes> reports;
    for (const Event& e : recorder_->events)
        if (e.kind == Kind::value && e.characteristic == gatt.credit) reports.push_back(e.value.value_or(Bytes{}));
    ASSERT_GE(reports.size(), 2u);
    EXPECT_TRUE(reports[0].size() == 3 && reports[0][0] == 0x02 && (reports[0][1] | reports[0][2]) != 0);
    EXPECT_EQ(reports[1][0], 0x01);

    call([&] { central_->cancelConnection(printer); });
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::disconnect) == 1; }));
    EXPECT_EQ(recorder_->last(Kind::disconnect)->peripheral, printer);
    EXPECT_FALSE(recorder_->last(Kind::disconnect)->failed);
    EXPECT_EQ(printer->state(), PeripheralState::disconnected);
    EXPECT_FALSE(printer->services().has_value());
}

// enable, a 16 x 2 print image, disable: the printer must see these bytes in order and print one page.
const Bytes kSmallJob{0x10, 0xFF, 0xF1, 0x03, 0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x02, 0x00,
                      0xF0, 0x0F, 0x81, 0xFF, 0x10, 0xFF, 0xF1, 0x45};

TEST_P(CentralContract, WritesWithoutResponseArriveInOrderAndArePrintedUntilTheLinkDrops) {
    ASSERT_GE(readyForData(discoverPrinter()), 3);
    write(Bytes(kSmallJob.begin(), kSmallJob.begin() + 7));
    write(Bytes(kSmallJob.begin() + 7, kSmallJob.begin() + 14));
    write(Bytes(kSmallJob.begin() + 14, kSmallJob.end()));
    ASSERT_TRUE(waitFor([&] { return rig_.printedStream().size() >= kSmallJob.size(); }));
    EXPECT_EQ(rig_.printedStream(), kSmallJob);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(rig_.pageFolder / "page-1.png"); }));
    EXPECT_FALSE(std::filesystem::exists(rig_.pageFolder / "page-2.png"));

    rig_.dropLink();
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::disconnect) == 1; }));
    EXPECT_TRUE(recorder_->last(Kind::disconnect)->failed);
    EXPECT_EQ(printer_->state(), PeripheralState::disconnected);
    write(kSmallJob);  // lost with the link
    runFor(rig_.advertisingInterval * 3);
    EXPECT_EQ(rig_.printedStream(), kSmallJob);

    // A new connection starts the credit exchange afresh.
    const int before = creditsGranted(gatt_.credit);
    ASSERT_TRUE(connect(printer_));
    const Gatt again = discoverGatt(printer_);
    ASSERT_TRUE(again.credit);
    call([&] { printer_->setNotifyValue(true, again.credit); });
    EXPECT_TRUE(waitFor([&] { return creditsGranted(again.credit) > before || creditsGranted(gatt_.credit) > before; }));
}

TEST_P(CentralContract, CreditsComeBackAsThePrinterConsumesAndStopWhenItStopsGranting) {
    const int initial = readyForData(discoverPrinter());
    ASSERT_GT(initial, 0);
    for (int i = 0; i < initial; ++i) write(Bytes(10, 0x0A));
    ASSERT_TRUE(waitFor([&] { return creditsGranted(gatt_.credit) == 2 * initial; }));

    rig_.setGrantingCredits(false);
    for (int i = 0; i < initial; ++i) write(Bytes(10, 0x0A));
    ASSERT_TRUE(waitFor([&] { return rig_.printedStream().size() == 2u * initial * 10; }));
    runFor(rig_.advertisingInterval * 5);
    EXPECT_EQ(creditsGranted(gatt_.credit), 2 * initial);

    rig_.setGrantingCredits(true);
    EXPECT_TRUE(waitFor([&] { return creditsGranted(gatt_.credit) == 3 * initial; }));
}

TEST_P(CentralContract, OperationsCalledFromCallbacksDeliverLater) {
    recorder_->onEvent = [&](const Event& e) {
        if (e.kind == Kind::discover && e.peripheral->name() == rig_.printerName) {
            central_->stopScan();
            central_->connect(e.peripheral);
        } else if (e.kind == Kind::connect) {
            e.peripheral->setDelegate(recorder_);
            e.peripheral->discoverServices({});
        } else if (e.kind == Kind::services && e.peripheral->services() && !e.peripheral->services()->empty()) {
            e.peripheral->discoverCharacteristics(e.peripheral->services()->front());
        }
    };
    call([&] { central_->scanForPeripherals(); });
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::characteristics) == 1; }));
    EXPECT_EQ(recorder_->count(Kind::connect), 1u);
    EXPECT_EQ(recorder_->count(Kind::services), 1u);
}

INSTANTIATE_TEST_SUITE_P(Radio, CentralContract, ::testing::Values(RadioKind{"Simulated", makeSimulatedRig},
                                                                     RadioKind{"BlueZ", makeBluezRig}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace ble::test
