// Test support for the central: a delegate that records every callback of a central and its
// peripherals and catches callbacks delivered inline on the stack of the call that caused them;
// waiting on the main queue; a private temporary folder.
#pragma once

#include "ble/Central.h"

#include <asio.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ble::test {

struct Event {
    enum class Kind { state, discover, connect, failToConnect, disconnect, services, characteristics, value, write };
    Kind kind;
    std::shared_ptr<Peripheral> peripheral{};
    // The error, kept flat: GCC 12 misreports an optional<BleError> member as uninitialised.
    bool failed = false;
    std::string errorText{};
    std::shared_ptr<Characteristic> characteristic{};
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
    void call(const std::function<void()>& operation) {
        ++callDepth_;
        operation();
        --callDepth_;
    }
    std::size_t count(Event::Kind kind) const {
        return std::count_if(events.begin(), events.end(), [kind](const Event& e) { return e.kind == kind; });
    }
    const Event* last(Event::Kind kind) const {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->kind == kind) return &*it;
        return nullptr;
    }

    void didUpdateState(Central&, CentralState state) override { record({.kind = Event::Kind::state, .state = state}); }
    void didDiscoverPeripheral(Central&, const std::shared_ptr<Peripheral>& p, int) override { record({Event::Kind::discover, p}); }
    void didConnect(Central&, const std::shared_ptr<Peripheral>& p) override { record({Event::Kind::connect, p}); }
    void didFailToConnect(Central&, const std::shared_ptr<Peripheral>& p, const std::optional<BleError>& e) override {
        record({Event::Kind::failToConnect, p}, e);
    }
    void didDisconnect(Central&, const std::shared_ptr<Peripheral>& p, const std::optional<BleError>& e) override {
        record({Event::Kind::disconnect, p}, e);
    }
    void didDiscoverServices(const std::shared_ptr<Peripheral>& p, const std::optional<BleError>& e) override {
        record({Event::Kind::services, p}, e);
    }
    void didDiscoverCharacteristics(const std::shared_ptr<Peripheral>& p, const std::shared_ptr<Service>&,
                                    const std::optional<BleError>& e) override {
        record({Event::Kind::characteristics, p}, e);
    }
    void didUpdateValue(const std::shared_ptr<Peripheral>& p, const std::shared_ptr<Characteristic>& c,
                        const std::optional<BleError>& e) override {
        record({.kind = Event::Kind::value, .peripheral = p, .characteristic = c, .value = c->value()}, e);
    }
    void didWriteValue(const std::shared_ptr<Peripheral>& p, const std::shared_ptr<Characteristic>& c,
                       const std::optional<BleError>& e) override {
        record({.kind = Event::Kind::write, .peripheral = p, .characteristic = c}, e);
    }

private:
    // No defaulted optional<BleError> argument: GCC 12 misreports a materialised empty one
    // as uninitialised under ThreadSanitizer.
    void record(Event event, const std::optional<BleError>& error) {
        event.failed = error.has_value();
        if (error) event.errorText = error->description;
        record(std::move(event));
    }
    void record(Event event) {
        if (callDepth_ > 0) ++inlineCallbacks;
        events.push_back(std::move(event));
        if (!onEvent) return;
        const Event copy = events.back();
        call([&] { onEvent(copy); });
    }
    int callDepth_ = 0;
};

// Runs the main queue until `condition` holds or `deadline` passes; returns the condition.
inline bool waitUntil(asio::io_context& mainQueue, const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        mainQueue.run_one_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A private temporary folder for one test, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pb-ble-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace ble::test
