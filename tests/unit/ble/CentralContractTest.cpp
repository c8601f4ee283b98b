// The contract every Bluetooth central keeps, run against each implementation.
#include "RadioRig.h"
#include "Recorder.h"
#include "printer/PageRenderer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace ble::test {
namespace {

using Kind = Event::Kind;
using namespace std::chrono_literals;

struct Gatt {
    std::shared_ptr<Characteristic> data;     // write without response
    std::shared_ptr<Characteristic> command;  // write with response
    std::shared_ptr<Characteristic> credit;   // the last notifying one
    std::shared_ptr<Characteristic> readable;
};

class CentralContract : public ::testing::TestWithParam<RadioKind> {
protected:
    void SetUp() override {
        rig_ = GetParam().make(RigSetup{io_, folder_.path()});
        central_ = rig_->central();
        central_->setDelegate(recorder_);
        ASSERT_TRUE(waitFor([&] {
            const Event* state = recorder_->last(Kind::state);
            return state && state->state == CentralState::poweredOn;
        }));
    }

    void TearDown() override { EXPECT_EQ(recorder_->inlineCallbacks, 0) << "a callback ran inside the call that caused it"; }

    bool waitFor(const std::function<bool()>& condition) { return waitUntil(io_, condition); }
    void call(const std::function<void()>& operation) { recorder_->call(operation); }
    void runFor(std::chrono::milliseconds span) { io_.run_for(span); }

    std::shared_ptr<Peripheral> discoverPrinter() {
        call([&] { central_->scanForPeripherals(); });
        std::shared_ptr<Peripheral> printer;
        waitFor([&] {
            for (const Event& e : recorder_->events)
                if (e.kind == Kind::discover && e.peripheral->name() == rig_->printerName()) return !!(printer = e.peripheral);
            return false;
        });
        call([&] { central_->stopScan(); });
        return printer;
    }

    std::shared_ptr<Peripheral> connectPrinter() {
        auto printer = discoverPrinter();
        if (!printer) return nullptr;
        const auto before = recorder_->count(Kind::connect);
        call([&] { central_->connect(printer); });
        if (!waitFor([&] { return recorder_->count(Kind::connect) > before; })) return nullptr;
        printer->setDelegate(recorder_);
        return printer;
    }

    // Classifies characteristics by their property bits, the way the agent does.
    Gatt discoverGatt(const std::shared_ptr<Peripheral>& printer) {
        const auto services = recorder_->count(Kind::services);
        call([&] { printer->discoverServices({Uuid::from16(0xFF00)}); });
        EXPECT_TRUE(waitFor([&] { return recorder_->count(Kind::services) > services; }));
        Gatt gatt;
        if (!printer->services() || printer->services()->size() != 1) return gatt;
        auto service = printer->services()->front();
        EXPECT_EQ(service->uuid().text(), "FF00");
        const auto characteristics = recorder_->count(Kind::characteristics);
        call([&] { printer->discoverCharacteristics(service); });
        EXPECT_TRUE(waitFor([&] { return recorder_->count(Kind::characteristics) > characteristics; }));
        for (const auto& c : service->characteristics().value_or(Service::Characteristics{})) {
            if (c->properties().has(CharacteristicProperty::writeWithoutResponse)) gatt.data = c;
            if (c->properties().has(CharacteristicProperty::write)) gatt.command = c;
            if (c->properties().has(CharacteristicProperty::notify)) gatt.credit = c;
            if (c->properties().has(CharacteristicProperty::read)) gatt.readable = c;
        }
        return gatt;
    }

    // Credit reports seen so far on `credit`, summed.
    int creditsGranted(const std::shared_ptr<Characteristic>& credit) const {
        int sum = 0;
        for (const Event& e : recorder_->events)
            if (e.kind == Kind::value && e.characteristic == credit && e.value && e.value->size() == 2 &&
                (*e.value)[0] == 0x01)
                sum += (*e.value)[1];
        return sum;
    }

    // Connects, finds the GATT and turns on credit reports; returns the first grant.
    int readyForData() {
        if (!(printer_ = connectPrinter())) return 0;
        gatt_ = discoverGatt(printer_);
        if (!gatt_.credit || !gatt_.data) return 0;
        call([&] { printer_->setNotifyValue(true, gatt_.credit); });
        waitFor([&] { return creditsGranted(gatt_.credit) > 0; });
        return creditsGranted(gatt_.credit);
    }
    void write(Bytes bytes) { call([&] { printer_->writeValue(std::move(bytes), gatt_.data, WriteType::withoutResponse); }); }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning_ = asio::make_work_guard(io_);
    TempFolder folder_;
    std::unique_ptr<RadioRig> rig_;
    std::shared_ptr<Central> central_;
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
    std::shared_ptr<Peripheral> printer_;
    Gatt gatt_;
};

TEST_P(CentralContract, PowerOffDisconnectsFirstThenReportsTheStateAndStopsScanning) {
    auto printer = connectPrinter();
    ASSERT_NE(printer, nullptr);
    const auto discovered = recorder_->count(Kind::discover);
    rig_->setPowered(false);
    ASSERT_TRUE(waitFor([&] { return recorder_->last(Kind::state)->state == CentralState::poweredOff; }));
    EXPECT_EQ(central_->state(), CentralState::poweredOff);
    const auto& events = recorder_->events;
    const auto disconnectAt = std::find_if(events.begin(), events.end(), [](const Event& e) { return e.kind == Kind::disconnect; });
    EXPECT_LT(disconnectAt - events.begin(), &*recorder_->last(Kind::state) - events.data());
    EXPECT_EQ(printer->state(), PeripheralState::disconnected);
    // No scan while the radio is off.
    call([&] { central_->scanForPeripherals(); });
    runFor(rig_->advertisingInterval() * 3);
    EXPECT_EQ(recorder_->count(Kind::discover), discovered);
    EXPECT_FALSE(central_->isScanning());

    rig_->setPowered(true);
    ASSERT_TRUE(waitFor([&] { return recorder_->last(Kind::state)->state == CentralState::poweredOn; }));
}

TEST_P(CentralContract, ScanReportsEveryAdvertisementAsTheSameObjectUntilStopped) {
    call([&] { central_->scanForPeripherals(); });
    EXPECT_TRUE(central_->isScanning());
    std::vector<std::shared_ptr<Peripheral>> seen;
    ASSERT_TRUE(waitFor([&] {
        seen.clear();
        for (const Event& e : recorder_->events)
            if (e.kind == Kind::discover && e.peripheral->name() == rig_->printerName()) seen.push_back(e.peripheral);
        return seen.size() >= 3;
    }));
    for (const auto& p : seen) EXPECT_EQ(p, seen.front());

    call([&] { central_->stopScan(); });
    EXPECT_FALSE(central_->isScanning());
    const auto stoppedAt = recorder_->count(Kind::discover);
    runFor(rig_->advertisingInterval() * 5);
    EXPECT_EQ(recorder_->count(Kind::discover), stoppedAt);
}

TEST_P(CentralContract, FailedConnectionIsReportedTheNextConnectsAndCancelDisconnects) {
    auto printer = discoverPrinter();
    ASSERT_NE(printer, nullptr);
    rig_->failNextConnection();
    call([&] { central_->connect(printer); });
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::failToConnect) == 1; }));
    EXPECT_TRUE(recorder_->last(Kind::failToConnect)->failed);
    EXPECT_EQ(recorder_->count(Kind::connect), 0u);
    EXPECT_NE(printer->state(), PeripheralState::connected);

    call([&] { central_->connect(printer); });
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::connect) == 1; }));
    EXPECT_EQ(recorder_->last(Kind::connect)->peripheral, printer);
    EXPECT_EQ(printer->state(), PeripheralState::connected);
    EXPECT_EQ(printer->name(), rig_->printerName());
    call([&] { central_->cancelConnection(printer); });
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::disconnect) == 1; }));
    EXPECT_EQ(recorder_->last(Kind::disconnect)->peripheral, printer);
    EXPECT_FALSE(recorder_->last(Kind::disconnect)->failed);
    EXPECT_EQ(printer->state(), PeripheralState::disconnected);
    EXPECT_FALSE(printer->services().has_value());
}

TEST_P(CentralContract, PrinterOffersItsServiceAnswersReadsAndWritesAndReportsMtuThenCredits) {
    auto printer = connectPrinter();
    ASSERT_NE(printer, nullptr);
    const Gatt gatt = discoverGatt(printer);
    ASSERT_TRUE(gatt.data && gatt.command && gatt.credit);
    EXPECT_EQ(gatt.credit->uuid().text(), "FF03");
    EXPECT_EQ(gatt.credit->serviceUuid().text(), "FF00");
    EXPECT_EQ(gatt.data->properties().bits() & 0x04, 0x04);
    EXPECT_EQ(gatt.command->properties().bits() & 0x08, 0x08);
    EXPECT_EQ(gatt.credit->properties().bits() & 0x10, 0x10);
    EXPECT_NE(gatt.data, gatt.credit);
    EXPECT_GT(printer->maximumWriteValueLength(WriteType::withResponse), 0u);

    ASSERT_TRUE(gatt.readable);
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

    // Subscribing to credits reports the MTU first, then the first grant.
    call([&] { printer->setNotifyValue(true, gatt.credit); });
    ASSERT_TRUE(waitFor([&] { return creditsGranted(gatt.credit) > 0; }));
    EXPECT_TRUE(gatt.credit->isNotifying());
    std::vector<Bytes> reports;
    for (const Event& e : recorder_->events)
        if (e.kind == Kind::value && e.characteristic == gatt.credit) reports.push_back(e.value.value_or(Bytes{}));
    ASSERT_GE(reports.size(), 2u);
    ASSERT_EQ(reports[0].size(), 3u);
    EXPECT_EQ(reports[0][0], 0x02);
    EXPECT_GT(reports[0][1] | reports[0][2], 0);
    EXPECT_EQ(reports[1][0], 0x01);
}

// enable, a 16 x 2 print image, disable: the printer must see these bytes in order and print one page.
const Bytes kSmallJob{0x10, 0xFF, 0xF1, 0x03, 0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x02, 0x00,
                      0xF0, 0x0F, 0x81, 0xFF, 0x10, 0xFF, 0xF1, 0x45};

TEST_P(CentralContract, WritesWithoutResponseArriveInOrderAndArePrinted) {
    ASSERT_GE(readyForData(), 3);
    write(Bytes(kSmallJob.begin(), kSmallJob.begin() + 7));
    write(Bytes(kSmallJob.begin() + 7, kSmallJob.begin() + 14));
    write(Bytes(kSmallJob.begin() + 14, kSmallJob.end()));
    ASSERT_TRUE(waitFor([&] { return rig_->printedStream().size() >= kSmallJob.size(); }));
    EXPECT_EQ(rig_->printedStream(), kSmallJob);

    printer::DecodedPage expected;
    expected.bytesPerRow = 2;
    expected.announcedRows = 2;
    expected.packed = {0xF0, 0x0F, 0x81, 0xFF};
    std::string error;
    const auto png = printer::encodePagePng(expected, error);
    ASSERT_TRUE(png) << error;
    const auto pagePath = rig_->pageFolder() / "page-1.png";
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(pagePath); }));
    std::ifstream in(pagePath, std::ios::binary);
    EXPECT_EQ(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}), *png);
    EXPECT_FALSE(std::filesystem::exists(rig_->pageFolder() / "page-2.png"));
}

TEST_P(CentralContract, CreditsComeBackAsThePrinterConsumesAndStopWhenItStopsGranting) {
    const int initial = readyForData();
    ASSERT_GT(initial, 0);
    for (int i = 0; i < initial; ++i) write(Bytes(10, 0x0A));
    ASSERT_TRUE(waitFor([&] { return creditsGranted(gatt_.credit) == 2 * initial; }));

    rig_->setGrantingCredits(false);
    for (int i = 0; i < initial; ++i) write(Bytes(10, 0x0A));
    const std::size_t expectedBytes = 2 * initial * 10;
    ASSERT_TRUE(waitFor([&] { return rig_->printedStream().size() == expectedBytes; }));
    runFor(rig_->advertisingInterval() * 5);
    EXPECT_EQ(creditsGranted(gatt_.credit), 2 * initial);

    rig_->setGrantingCredits(true);
    EXPECT_TRUE(waitFor([&] { return creditsGranted(gatt_.credit) == 3 * initial; }));
}

TEST_P(CentralContract, LinkDropMidTransferEndsTheConnectionAndLosesLaterWrites) {
    ASSERT_GE(readyForData(), 2);
    write(Bytes(kSmallJob.begin(), kSmallJob.begin() + 10));
    ASSERT_TRUE(waitFor([&] { return rig_->printedStream().size() == 10; }));

    rig_->dropLink();
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::disconnect) == 1; }));
    EXPECT_TRUE(recorder_->last(Kind::disconnect)->failed);
    EXPECT_EQ(printer_->state(), PeripheralState::disconnected);
    write(Bytes(kSmallJob.begin() + 10, kSmallJob.end()));
    runFor(rig_->advertisingInterval() * 3);
    EXPECT_EQ(rig_->printedStream().size(), 10u);

    // A new connection starts the credit exchange afresh.
    const int before = creditsGranted(gatt_.credit);
    call([&] { central_->connect(printer_); });
    ASSERT_TRUE(waitFor([&] { return printer_->state() == PeripheralState::connected; }));
    const Gatt again = discoverGatt(printer_);
    ASSERT_TRUE(again.credit);
    call([&] { printer_->setNotifyValue(true, again.credit); });
    EXPECT_TRUE(waitFor([&] { return creditsGranted(again.credit) > before || creditsGranted(gatt_.credit) > before; }));
}

TEST_P(CentralContract, OperationsCalledFromCallbacksDeliverLater) {
    recorder_->onEvent = [&](const Event& e) {
        if (e.kind == Kind::discover && e.peripheral->name() == rig_->printerName()) {
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

INSTANTIATE_TEST_SUITE_P(Radio, CentralContract, ::testing::Values(RadioKind{"Simulated", makeSimulatedRig}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace ble::test
