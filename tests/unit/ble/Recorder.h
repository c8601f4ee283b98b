// A delegate that records every callback of a central and its peripherals, and catches
// callbacks delivered inline on the stack of the call that caused them.
#pragma once

#include "ble/Central.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ble::test {

struct Event {
    enum class Kind { state, discover, connect, failToConnect, disconnect, services, characteristics, value, write };
    explicit Event(Kind kind, std::shared_ptr<Peripheral> peripheral = {}) : kind(kind), peripheral(std::move(peripheral)) {}
    Event(Kind kind, std::shared_ptr<Peripheral> peripheral, const std::optional<BleError>& error)
        : kind(kind), peripheral(std::move(peripheral)), failed(error.has_value()) {
        if (error) errorText = error->description;
    }

    Kind kind;
    std::shared_ptr<Peripheral> peripheral;
    // The error, kept flat: GCC 12 misreports an optional<BleError> member as uninitialised.
    bool failed = false;
    std::string errorText;
    std::shared_ptr<Characteristic> characteristic;
    std::optional<Bytes> value;  // the characteristic's value as the callback saw it
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
        std::size_t n = 0;
        for (const Event& event : events) n += event.kind == kind ? 1 : 0;
        return n;
    }
    const Event* last(Event::Kind kind) const {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->kind == kind) return &*it;
        return nullptr;
    }

    void didUpdateState(Central&, CentralState state) override {
        Event event(Event::Kind::state);
        event.state = state;
        record(std::move(event));
    }
    void didDiscoverPeripheral(Central&, const std::shared_ptr<Peripheral>& p, int) override {
        record(Event(Event::Kind::discover, p));
    }
    void didConnect(Central&, const std::shared_ptr<Peripheral>& p) override { record(Event(Event::Kind::connect, p)); }
    void didFailToConnect(Central&, const std::shared_ptr<Peripheral>& p, const std::optional<BleError>& e) override {
        record(Event(Event::Kind::failToConnect, p, e));
    }
    void didDisconnect(Central&, const std::shared_ptr<Peripheral>& p, const std::optional<BleError>& e) override {
        record(Event(Event::Kind::disconnect, p, e));
    }
    void didDiscoverServices(const std::shared_ptr<Peripheral>& p, const std::optional<BleError>& e) override {
        record(Event(Event::Kind::services, p, e));
    }
    void didDiscoverCharacteristics(const std::shared_ptr<Peripheral>& p, const std::shared_ptr<Service>&,
                                    const std::optional<BleError>& e) override {
        record(Event(Event::Kind::characteristics, p, e));
    }
    void didUpdateValue(const std::shared_ptr<Peripheral>& p, const std::shared_ptr<Characteristic>& c,
                        const std::optional<BleError>& e) override {
        Event event(Event::Kind::value, p, e);
        event.characteristic = c;
        event.value = c->value();
        record(std::move(event));
    }
    void didWriteValue(const std::shared_ptr<Peripheral>& p, const std::shared_ptr<Characteristic>& c,
                       const std::optional<BleError>& e) override {
        Event event(Event::Kind::write, p, e);
        event.characteristic = c;
        record(std::move(event));
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

}  // namespace ble::test
