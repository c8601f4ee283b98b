// Behaviour of the simulated radio beyond the central contract: its devices, controls and output.
#include "Recorder.h"
#include "ble/sim/PrinterOutput.h"
#include "ble/sim/SimulatedCentral.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace ble::sim {
namespace {

using test::Event;
using Kind = test::Event::Kind;

class SimulatedRadio : public ::testing::Test {
protected:
    static SimulatedRadioSettings radio(std::vector<SimulatedPrinter> printers, std::filesystem::path output = {}) {
        SimulatedRadioSettings settings;
        settings.printers = std::move(printers);
        settings.outputFolder = std::move(output);
        return settings;
    }
    void start(SimulatedRadioSettings settings) {
        settings.advertisingInterval = std::chrono::milliseconds(10);
        central_ = SimulatedCentral::create(io_, std::move(settings));
        central_->setDelegate(recorder_);
        ASSERT_TRUE(wait([&] { return central_->state() == CentralState::poweredOn; }));
    }
    bool wait(const std::function<bool()>& condition) { return test::waitUntil(io_, condition); }

    // Connects `name`, turns on notifications on every notifying characteristic and finds the data one.
    std::shared_ptr<SimulatedPeripheral> connectAndSubscribe(const std::string& name) {
        auto device = central_->device(name);
        device->setDelegate(recorder_);
        central_->connect(device);
        wait([&] { return device->state() == PeripheralState::connected; });
        device->discoverServices({});
        wait([&] { return device->services().has_value(); });
        auto service = device->services()->front();
        device->discoverCharacteristics(service);
        wait([&] { return service->characteristics().has_value(); });
        const auto characteristics = service->characteristics().value();
        for (const auto& c : characteristics) {
            if (c->properties().has(CharacteristicProperty::notify)) device->setNotifyValue(true, c);
            if (c->uuid() == PrinterGatt::data()) data_ = c;
        }
        wait([&] { return recorder_->count(Kind::value) >= 2; });
        return device;
    }

    test::TempFolder folder_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning_ = asio::make_work_guard(io_);
    std::shared_ptr<SimulatedCentral> central_;
    std::shared_ptr<Characteristic> data_;
    std::shared_ptr<test::Recorder> recorder_ = std::make_shared<test::Recorder>();
};

TEST_F(SimulatedRadio, ExtraAdvertisersAreSeenAndConnectedDevicesFallSilent) {
    start(radio({{"P1", {}}}));
    central_->addAdvertiser(std::nullopt);
    central_->addAdvertiser("XP1");
    central_->scanForPeripherals();
    ASSERT_TRUE(wait([&] { return recorder_->count(Kind::discover) >= 6; }));
    std::set<std::optional<std::string>> names;
    for (const Event& e : recorder_->events)
        if (e.kind == Kind::discover) names.insert(e.peripheral->name());
    EXPECT_EQ(names, (std::set<std::optional<std::string>>{std::nullopt, "P1", "XP1"}));

    central_->connect(central_->device("P1"));
    ASSERT_TRUE(wait([&] { return recorder_->count(Kind::connect) == 1; }));
    const auto connectedAt = recorder_->events.size();
    ASSERT_TRUE(wait([&] { return recorder_->events.size() >= connectedAt + 6; }));
    for (std::size_t i = connectedAt; i < recorder_->events.size(); ++i)
        EXPECT_NE(recorder_->events[i].peripheral->name(), "P1");
    // A bare advertiser connects but offers no service.
    auto bare = central_->device("XP1");
    bare->setDelegate(recorder_);
    central_->connect(bare);
    ASSERT_TRUE(wait([&] { return bare->state() == PeripheralState::connected; }));
    bare->discoverServices({});
    ASSERT_TRUE(wait([&] { return recorder_->count(Kind::services) == 1; }));
    EXPECT_TRUE(bare->services()->empty());
}

TEST_F(SimulatedRadio, StatusErrorAndMtuControlsReachTheDelegate) {
    start(radio({{"P1", {}}}));
    auto device = connectAndSubscribe("P1");
    const auto before = recorder_->count(Kind::value);
    central_->reportStatus("P1", 0x04);
    central_->reportError("P1", "er");
    central_->setMtu("P1", 244);
    central_->notify("P1", Uuid::from16(0xFF04), {0x01});  // FF04 does not notify: dropped
    ASSERT_TRUE(wait([&] { return recorder_->count(Kind::value) == before + 3; }));
    const auto& events = recorder_->events;
    const Event& status = events[events.size() - 3];
    EXPECT_EQ(status.characteristic->uuid().text(), "FF01");
    EXPECT_EQ(status.value, (Bytes{0xFF, 0x04}));
    EXPECT_EQ(events[events.size() - 2].value, (Bytes{'e', 'r'}));
    EXPECT_EQ(events.back().characteristic->uuid().text(), "FF03");
    EXPECT_EQ(events.back().value, (Bytes{0x02, 0xF4, 0x00}));
}

TEST_F(SimulatedRadio, PrinterSetToDropTheLinkDropsItMidJobAndKeepsWhatItGot) {
    PrinterSettings dropping;
    dropping.bytesPerSecond = 100000;
    dropping.dropLinkAfterBytes = 30;
    start(radio({{"P1", dropping}}, folder_.path()));
    auto device = connectAndSubscribe("P1");
    for (int i = 0; i < 5; ++i) device->writeValue(Bytes(20, 0x0A), data_, WriteType::withoutResponse);
    ASSERT_TRUE(wait([&] { return recorder_->count(Kind::disconnect) == 1; }));
    EXPECT_EQ(recorder_->last(Kind::disconnect)->errorText, "the printer dropped the link");
    ASSERT_TRUE(wait([&] { return central_->printerStats("P1")->bytesConsumed == 40; }));
    EXPECT_EQ(central_->printerStats("P1")->dataWrites, 2u);
    EXPECT_EQ(device->droppedWrites(), 3u);
    EXPECT_EQ(std::filesystem::file_size(folder_.path() / "P1" / kStreamFileName), 40u);
}

// The agent writes job data from its print queue while the main queue delivers callbacks.
TEST_F(SimulatedRadio, OperationsFromAnotherThreadTakeEffectInCallOrder) {
    PrinterSettings roomy;
    roomy.bufferChunks = 255;
    start(radio({{"P1", roomy}}, folder_.path()));
    auto device = connectAndSubscribe("P1");
    constexpr int kChunks = 200;
    std::thread writer([&] {
        for (int i = 0; i < kChunks; ++i) {
            device->writeValue(Bytes{static_cast<std::uint8_t>(i)}, data_, WriteType::withoutResponse);
            if (i % 50 == 0) central_->scanForPeripherals();
            if (i % 50 == 25) central_->stopScan();
            (void)device->state();
            (void)device->name();
        }
    });
    const auto stream = folder_.path() / "P1" / kStreamFileName;
    const bool done = wait([&] { return std::filesystem::exists(stream) && std::filesystem::file_size(stream) == kChunks; });
    writer.join();
    ASSERT_TRUE(done);
    std::ifstream in(stream, std::ios::binary);
    for (int i = 0; i < kChunks; ++i) ASSERT_EQ(in.get(), i) << "byte " << i;
}

TEST_F(SimulatedRadio, PrintersGetSeparateSafeFolders) {
    start(radio({{"A/B", {}}, {"A_B", {}}, {"..", {}}}, folder_.path()));
    EXPECT_TRUE(std::filesystem::is_directory(folder_.path() / "A_B"));
    EXPECT_TRUE(std::filesystem::is_directory(folder_.path() / "A_B-2"));
    EXPECT_TRUE(std::filesystem::is_directory(folder_.path() / "_"));
    EXPECT_EQ(folderNameForPrinter("P1 Rig"), "P1_Rig");
    EXPECT_EQ(folderNameForPrinter(""), "_");
}

TEST(PrinterOutput, PageNumbersContinueAfterThePagesAlreadyThere) {
    test::TempFolder folder_;
    std::ofstream(folder_.path() / "page-7.png") << "old";
    std::ofstream(folder_.path() / "page-x.png") << "not a page";
    std::vector<std::string> lines;
    PrinterOutput output(folder_.path(), [&](std::string_view l) { lines.emplace_back(l); });
    const Bytes page{0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x01, 0x00, 0x80};
    output.consume(std::span(page).first(5));
    EXPECT_EQ(output.pagesWritten(), 0u);
    output.consume(std::span(page).subspan(5));
    output.consume(page);
    EXPECT_EQ(output.pagesWritten(), 2u);
    EXPECT_TRUE(std::filesystem::exists(folder_.path() / "page-8.png"));
    EXPECT_TRUE(std::filesystem::exists(folder_.path() / "page-9.png"));
    EXPECT_EQ(std::filesystem::file_size(folder_.path() / kStreamFileName), 2 * page.size());
    EXPECT_TRUE(lines.empty());
    // Bytes the printer does not understand are logged, not fatal.
    output.consume(Bytes{0x42, 0x42});
    output.consume(page);
    EXPECT_FALSE(lines.empty());
    EXPECT_TRUE(std::filesystem::exists(folder_.path() / "page-10.png"));
}

TEST(Uuid, RendersShortUuidsAsTheirHexDigits) {
    EXPECT_EQ(Uuid::from16(0xFF03).text(), "FF03");
    EXPECT_EQ(Uuid::parse("FF03"), Uuid::from16(0xFF03));
    for (const auto& [text, rendered] : std::vector<std::pair<std::string, std::string>>{
             {"ff00", "FF00"},
             {"0000ff03-0000-1000-8000-00805f9b34fb", "FF03"},
             {"1234FF03-0000-1000-8000-00805F9B34FB", "1234FF03"},
             {"6e400001-b5a3-f393-e0a9-e50e24dcca9e", "6E400001-B5A3-F393-E0A9-E50E24DCCA9E"}})
        EXPECT_EQ(Uuid::parse(text)->text(), rendered);
    for (const char* bad : {"FF0", "FF0G", "0000ff03-0000-1000-8000_00805f9b34fb"})
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
}

}  // namespace
}  // namespace ble::sim
