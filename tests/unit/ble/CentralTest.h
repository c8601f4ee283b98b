// Test support for the central: a delegate that records every callback and catches callbacks
// run inline on the stack of the call that caused them, a fixture that takes a central from
// power-on to a printer ready for data, and the radio rigs the contract suite runs against.
#pragma once

#include "ble/Central.h"

#include <asio.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace ble::test {

using PeripheralPtr = std::shared_ptr<Peripheral>;
using CharacteristicPtr = std::shared_ptr<Characteristic>;
using Error = std::optional<BleError>;

struct Event {
    enum class Kind { state, discover, connect, failToConnect, disconnect, services, characteristics, value, write };
    Kind kind;
    PeripheralPtr peripheral{};
    // Whether the callback carried an error. Neither kept nor passed on as an optional<BleError>:
    // GCC 12 misreports an empty one as uninitialised (under ThreadSanitizer too).
    bool failed = false;
    CharacteristicPtr characteristic{};
    std::optional<Bytes> value{};  // the characteristic's value as the callback saw it
    CentralState state = CentralState::unknown;
};

class Recorder : public CentralDelegate, public PeripheralDelegate {
public:
    std::vector<Event> events;
    // Callbacks that ran while a call into the radio was still on the stack.
    int inlineCallbacks = 0;
    // Runs after each recorded event (a test may call back into the radio from here).
    std::function<void(const Event&)> onEvent;

    // Calls `operation` and notes that it is on the stack meanwhile.
    void call(const std::function<void()>& operation) { ++callDepth_; operation(); --callDepth_; }
    std::size_t count(Event::Kind kind) const {
        return std::count_if(events.begin(), events.end(), [kind](const Event& e) { return e.kind == kind; });
    }
    const Event* last(Event::Kind kind) const {
        const auto it = std::find_if(events.rbegin(), events.rend(), [kind](const Event& e) { return e.kind == kind; });
        return it == events.rend() ? nullptr : &*it;
    }

    void didUpdateState(Central&, CentralState state) override { record({.kind = Event::Kind::state, .state = state}); }
    void didDiscoverPeripheral(Central&, const PeripheralPtr& p, int) override { record({Event::Kind::discover, p}); }
    void didConnect(Central&, const PeripheralPtr& p) override { record({Event::Kind::connect, p}); }
    void didFailToConnect(Central&, const PeripheralPtr& p, const Error& e) override {
        record({.kind = Event::Kind::failToConnect, .peripheral = p, .failed = e.has_value()});
    }
    void didDisconnect(Central&, const PeripheralPtr& p, const Error& e) override {
        record({.kind = Event::Kind::disconnect, .peripheral = p, .failed = e.has_value()});
    }
    void didDiscoverServices(const PeripheralPtr& p, const Error& e) override {
        record({.kind = Event::Kind::services, .peripheral = p, .failed = e.has_value()});
    }
    void didDiscoverCharacteristics(const PeripheralPtr& p, const std::shared_ptr<Service>&, const Error& e) override {
        record({.kind = Event::Kind::characteristics, .peripheral = p, .failed = e.has_value()});
    }
    void didUpdateValue(const PeripheralPtr& p, const CharacteristicPtr& c, const Error& e) override {
        record({.kind = Event::Kind::value, .peripheral = p, .failed = e.has_value(), .characteristic = c, .value = c->value()});
    }
    void didWriteValue(const PeripheralPtr& p, const CharacteristicPtr& c, const Error& e) override {
        record({.kind = Event::Kind::write, .peripheral = p, .failed = e.has_value(), .characteristic = c});
    }

private:
    void record(Event event) {
        if (callDepth_ > 0) ++inlineCallbacks;
        events.push_back(std::move(event));
        if (!onEvent) return;
        const Event copy = events.back();
        call([&] { onEvent(copy); });
    }
    int callDepth_ = 0;
};

// A private temporary folder for one test, removed with the object.
struct TempFolder {
    const std::filesystem::path path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "pb-ble-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return pattern;
    }();
    TempFolder() = default;
    TempFolder(const TempFolder&) = delete;
    ~TempFolder() { std::error_code ignored; std::filesystem::remove_all(path, ignored); }
};

// A file's bytes; empty when it cannot be read.
inline Bytes fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The printer's characteristics, classified by their property bits the way the agent does.
struct Gatt {
    CharacteristicPtr data;     // write without response
    CharacteristicPtr command;  // write with response
    CharacteristicPtr credit;   // the last notifying one
    CharacteristicPtr readable;
};

// A main queue, a recorder, a private folder and the steps from a powered radio to a printer
// ready for data. Operations go through call(), so the recorder sees callbacks run inline.
class CentralTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(recorder_->inlineCallbacks, 0) << "a callback ran inside the call that caused it"; }

    // Makes `central` the one under test and waits for it to report poweredOn.
    bool adopt(std::shared_ptr<Central> central) {
        central_ = std::move(central);
        call([&] { central_->setDelegate(recorder_); });
        return waitFor([&] { return recorder_->last(Event::Kind::state) && stateIs(CentralState::poweredOn); });
    }
    bool stateIs(CentralState state) const { return recorder_->last(Event::Kind::state)->state == state; }
    // Runs the main queue until `condition` holds or 5 s pass; returns the condition.
    bool waitFor(const std::function<bool()>& condition) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!condition() && std::chrono::steady_clock::now() < end) io_.run_one_for(std::chrono::milliseconds(10));
        return condition();
    }
    void call(const std::function<void()>& operation) { recorder_->call(operation); }
    void runFor(std::chrono::milliseconds span) { io_.run_for(span); }

    // Scans until `name` advertises, then stops; null when it never does.
    PeripheralPtr discover(const std::string& name) {
        call([&] { central_->scanForPeripherals(); });
        PeripheralPtr found;
        waitFor([&] {
            for (const Event& e : recorder_->events)
                if (e.kind == Event::Kind::discover && e.peripheral->name() == name) return !!(found = e.peripheral);
            return false;
        });
        call([&] { central_->stopScan(); });
        return found;
    }
    // Connects `printer` (false: no didConnect came) and makes the recorder its delegate.
    bool connect(const PeripheralPtr& printer) {
        const auto before = recorder_->count(Event::Kind::connect);
        if (printer) call([&] { central_->connect(printer); });
        if (!printer || !waitFor([&] { return recorder_->count(Event::Kind::connect) > before; })) return false;
        printer->setDelegate(recorder_);
        return true;
    }
    Gatt discoverGatt(const PeripheralPtr& printer) {
        call([&] { printer->discoverServices({Uuid::from16(0xFF00)}); });
        EXPECT_TRUE(waitFor([&] { return printer->services().has_value(); }));
        Gatt gatt;
        if (!printer->services() || printer->services()->size() != 1) return gatt;
        auto service = printer->services()->front();
        EXPECT_EQ(service->uuid().text(), "FF00");
        call([&] { printer->discoverCharacteristics(service); });
        EXPECT_TRUE(waitFor([&] { return service->characteristics().has_value(); }));
        for (const auto& c : service->characteristics().value_or(Service::Characteristics{})) {
            if (c->properties().has(CharacteristicProperty::writeWithoutResponse)) gatt.data = c;
            if (c->properties().has(CharacteristicProperty::write)) gatt.command = c;
            if (c->properties().has(CharacteristicProperty::notify)) gatt.credit = c;
            if (c->properties().has(CharacteristicProperty::read)) gatt.readable = c;
        }
        return gatt;
    }
    // Credit reports seen so far on `credit`, summed.
    int creditsGranted(const CharacteristicPtr& credit) const {
        int sum = 0;
        for (const Event& e : recorder_->events)
            if (e.kind == Event::Kind::value && e.characteristic == credit && e.value && e.value->size() == 2 &&
                (*e.value)[0] == 0x01)
                sum += (*e.value)[1];
        return sum;
    }
    // Connects `printer`, finds its GATT and turns on credit reports; returns the first grant.
    int readyForData(PeripheralPtr printer) {
        if (!connect(printer_ = std::move(printer))) return 0;
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
    std::shared_ptr<Central> central_;
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
    PeripheralPtr printer_;
    Gatt gatt_;
};

// One radio implementation with one printer in range, and the levers a test pulls on it. The
// levers act the way the implementation's own test controls do (queued, main queue).
struct RadioRig {
    std::shared_ptr<Central> central;
    std::string printerName;
    std::chrono::milliseconds advertisingInterval;  // longest between two advertisements of one device
    std::function<void(bool on)> setPowered;
    std::function<void()> dropLink;
    std::function<void()> failNextConnection;
    std::function<void(bool granting)> setGrantingCredits;
    std::function<void()> restartService;  // BlueZ only: bluetoothd restarts
    std::function<Bytes()> printedStream;  // every byte the printer got on its data characteristic
    std::filesystem::path pageFolder;      // where the printer writes page-N.png
};

// One implementation under test, named for the test listing. `make` builds its rig on the
// main queue, with an empty folder private to the test for the printer's output.
struct RadioKind {
    std::string name;
    RadioRig (*make)(asio::io_context& mainQueue, const std::filesystem::path& outputFolder);
    friend void PrintTo(const RadioKind& kind, std::ostream* out) { *out << kind.name; }
};

// The simulated radio with one instantly consuming printer in range.
RadioRig makeSimulatedRig(asio::io_context& mainQueue, const std::filesystem::path& outputFolder);
// BlueZ's central on a private bus served by the fake Bluetooth service, one printer.
RadioRig makeBluezRig(asio::io_context& mainQueue, const std::filesystem::path& outputFolder);
// The same with more QUORVEL_SIM_* settings ("NAME=value") for the fake's printer.
RadioRig makeBluezRig(asio::io_context& mainQueue, const std::filesystem::path& outputFolder,
                      const std::vector<std::string>& settings);

}  // namespace ble::test
