// GATT operations of a simulated device, served by its virtual printer on the main queue.
#include "ble/sim/SimulatedPeripheral.h"

#include <algorithm>
#include <cstdio>

namespace ble::sim {

namespace {

// A stream of oversized writes would otherwise log one line per chunk.
constexpr std::uint64_t kMaxOversizedWriteLogLines = 10;

BleError notConnected() { return BleError{"the peripheral is not connected"}; }

}  // namespace

SimulatedPeripheral::SimulatedPeripheral(asio::io_context& mainQueue, std::string name, PrinterSettings settings,
                                         std::unique_ptr<PrinterOutput> output, LogFunction log)
    : Peripheral(std::move(name)),
      mainQueue_(mainQueue),
      maxWriteWithoutResponse_(settings.maxWriteLength),
      log_(std::move(log)),
      output_(std::move(output)),
      consumeTimer_(mainQueue) {
    printer_ = std::make_unique<VirtualPrinter>(
        settings, [this](const Uuid& characteristic, Bytes value) { deliverNotification(characteristic, std::move(value)); },
        [this](std::span<const std::uint8_t> bytes) {
            if (output_) output_->receive(bytes);
        });
    service_ = std::make_shared<Service>(PrinterGatt::service(), true);
    for (const auto& layout : PrinterGatt::characteristics())
        characteristics_[layout.uuid] = std::make_shared<Characteristic>(layout.uuid, service_->uuid(), layout.properties);
}

SimulatedPeripheral::SimulatedPeripheral(asio::io_context& mainQueue, std::optional<std::string> name)
    : Peripheral(std::move(name)), mainQueue_(mainQueue), consumeTimer_(mainQueue) {}

SimulatedPeripheral::~SimulatedPeripheral() = default;

std::shared_ptr<SimulatedPeripheral> SimulatedPeripheral::self() {
    return std::static_pointer_cast<SimulatedPeripheral>(shared_from_this());
}

void SimulatedPeripheral::post(std::function<void(SimulatedPeripheral&)> work) {
    asio::post(mainQueue_, [weak = weak_from_this(), work = std::move(work)] {
        if (auto peripheral = weak.lock()) work(static_cast<SimulatedPeripheral&>(*peripheral));
    });
}

std::optional<std::string> SimulatedPeripheral::address() const {
    const auto name = this->name();
    if (!name) return std::nullopt;
    std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
    for (const char c : *name) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    char text[18];
    // The two top bits set: a static random address, which no real device's public one is.
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>((hash >> 40) & 0xFF) | 0xC0,
                  static_cast<unsigned>((hash >> 32) & 0xFF), static_cast<unsigned>((hash >> 24) & 0xFF),
                  static_cast<unsigned>((hash >> 16) & 0xFF), static_cast<unsigned>((hash >> 8) & 0xFF),
                  static_cast<unsigned>(hash & 0xFF));
    return std::string(text);
}

void SimulatedPeripheral::discoverServices(const std::vector<Uuid>& serviceUuids) {
    post([serviceUuids](SimulatedPeripheral& p) {
        std::optional<BleError> error;
        if (p.state() != PeripheralState::connected) {
            error = notConnected();
        } else {
            Services found;
            const bool wanted = serviceUuids.empty() ||
                                std::find(serviceUuids.begin(), serviceUuids.end(), PrinterGatt::service()) != serviceUuids.end();
            if (p.service_ && wanted) found.push_back(p.service_);
            p.setServices(std::move(found));
        }
        if (auto delegate = p.delegate()) delegate->didDiscoverServices(p.self(), error);
    });
}

void SimulatedPeripheral::discoverCharacteristics(const std::shared_ptr<Service>& service) {
    post([service](SimulatedPeripheral& p) {
        std::optional<BleError> error;
        if (p.state() != PeripheralState::connected) {
            error = notConnected();
        } else if (!service || service != p.service_) {
            error = BleError{"the service does not belong to this peripheral"};
        } else {
            Service::Characteristics list;
            for (const auto& layout : PrinterGatt::characteristics()) list.push_back(p.characteristics_.at(layout.uuid));
            service->setCharacteristics(std::move(list));
        }
        if (auto delegate = p.delegate()) delegate->didDiscoverCharacteristics(p.self(), service, error);
    });
}

void SimulatedPeripheral::readValue(const std::shared_ptr<Characteristic>& characteristic) {
    post([characteristic](SimulatedPeripheral& p) {
        const auto own = p.ownCharacteristic(characteristic);
        if (!own) return;
        if (p.state() != PeripheralState::connected) return p.deliverValue(own, std::nullopt, notConnected());
        if (!own->properties().has(CharacteristicProperty::read))
            return p.deliverValue(own, std::nullopt, BleError{"reading is not permitted"});
        p.deliverValue(own, p.printer_->read(own->uuid()), std::nullopt);
    });
}

void SimulatedPeripheral::setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) {
    post([enabled, characteristic](SimulatedPeripheral& p) {
        const auto own = p.ownCharacteristic(characteristic);
        if (!own || p.state() != PeripheralState::connected) return;
        if (!own->properties().has(CharacteristicProperty::notify)) return;
        own->setNotifying(enabled);
        p.printer_->setNotifying(own->uuid(), enabled);
    });
}

// A write with response may be a long write, up to the longest attribute value; one without
// response must fit in a single packet of the link.
std::size_t SimulatedPeripheral::maximumWriteValueLength(WriteType type) const {
    return type == WriteType::withResponse ? kMaxAttributeLength : maxWriteWithoutResponse_;
}

void SimulatedPeripheral::writeValue(Bytes value, const std::shared_ptr<Characteristic>& characteristic,
                                     WriteType type) {
    post([value = std::move(value), characteristic, type](SimulatedPeripheral& p) {
        p.onWrite(value, characteristic, type);
    });
}

void SimulatedPeripheral::onWrite(const Bytes& value, const std::shared_ptr<Characteristic>& characteristic,
                                  WriteType type) {
    const auto own = ownCharacteristic(characteristic);
    const bool withResponse = type == WriteType::withResponse;
    const auto needed = withResponse ? CharacteristicProperty::write : CharacteristicProperty::writeWithoutResponse;
    std::optional<BleError> error;
    if (!own) {
        error = BleError{"the characteristic does not belong to this peripheral"};
    } else if (state() != PeripheralState::connected) {
        error = notConnected();
    } else if (!own->properties().has(needed)) {
        error = BleError{"writing is not permitted"};
    }
    if (error) {
        ++droppedWrites_;
        if (withResponse && own) deliverWrite(own, error);
        return;
    }
    if (own->uuid() == PrinterGatt::data()) {
        onDataWrite(value);
    } else {
        printer_->commandWritten(value);
    }
    if (withResponse) deliverWrite(own, std::nullopt);
}

void SimulatedPeripheral::onDataWrite(const Bytes& value) {
    if (!printer_->dataWritten(value)) {
        if (oversizedLogged_ >= kMaxOversizedWriteLogLines) return;
        const std::string printer = "virtual printer " + name().value_or("");
        log(printer + ": dropped a write of " + std::to_string(value.size()) + " bytes, longer than the link's " +
            std::to_string(maxWriteWithoutResponse_));
        if (++oversizedLogged_ == kMaxOversizedWriteLogLines) log(printer + ": further oversized writes are not logged");
        return;
    }
    scheduleConsumption();
    if (printer_->takeLinkDropRequest() && linkLossHandler_) linkLossHandler_();
}

void SimulatedPeripheral::setRate(std::uint64_t bytesPerSecond) {
    if (!printer_) return;
    printer_->setRate(bytesPerSecond);
    // The chunk being printed starts over at the new rate rather than finish at the old one.
    ++consumeGeneration_;
    consumeTimer_.cancel();
    consuming_ = false;
    printedUntil_ = std::chrono::steady_clock::now();
    scheduleConsumption();
}

// Printing is paced by absolute deadlines, so that timer latency does not slow the rate.
void SimulatedPeripheral::scheduleConsumption() {
    if (consuming_ || !printer_) return;
    for (auto delay = printer_->nextConsumeDelay(); delay; delay = printer_->nextConsumeDelay()) {
        if (delay->count() == 0) {
            printer_->consumeNext();
            continue;
        }
        printedUntil_ = std::max(printedUntil_, std::chrono::steady_clock::now()) +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(*delay);
        consuming_ = true;
        consumeTimer_.expires_at(printedUntil_);
        const std::uint64_t generation = consumeGeneration_;
        consumeTimer_.async_wait([weak = weak_from_this(), generation](const std::error_code& error) {
            auto peripheral = std::static_pointer_cast<SimulatedPeripheral>(weak.lock());
            if (!peripheral || error || generation != peripheral->consumeGeneration_) return;
            peripheral->consuming_ = false;
            peripheral->printer_->consumeNext();
            peripheral->scheduleConsumption();
        });
        return;
    }
}

void SimulatedPeripheral::linkEstablished() {
    if (printer_ && printer_->linkEstablished()) characteristics_.at(PrinterGatt::credit())->setNotifying(true);
}

void SimulatedPeripheral::endLink() {
    setState(PeripheralState::disconnected);
    ++linkGeneration_;
    setServices(std::nullopt);
    for (auto& [uuid, characteristic] : characteristics_) characteristic->setNotifying(false);
    if (printer_) printer_->linkDropped();
}

bool SimulatedPeripheral::takeConnectionFailure() {
    if (failuresToCome_ <= 0) return false;
    --failuresToCome_;
    return true;
}

bool SimulatedPeripheral::report(const Uuid& characteristic, Bytes value) {
    return printer_ && state() == PeripheralState::connected && printer_->report(characteristic, std::move(value));
}

std::shared_ptr<Characteristic> SimulatedPeripheral::ownCharacteristic(
    const std::shared_ptr<Characteristic>& candidate) const {
    if (!candidate) return nullptr;
    const auto found = characteristics_.find(candidate->uuid());
    return found != characteristics_.end() && found->second == candidate ? found->second : nullptr;
}

// Reports made while the link was up are dropped if it ends before they are delivered.
void SimulatedPeripheral::deliverNotification(const Uuid& uuid, Bytes value) {
    const auto characteristic = characteristics_.at(uuid);
    asio::post(mainQueue_, [weak = weak_from_this(), characteristic, value = std::move(value),
                            generation = linkGeneration_]() mutable {
        auto peripheral = std::static_pointer_cast<SimulatedPeripheral>(weak.lock());
        if (!peripheral || peripheral->linkGeneration_ != generation) return;
        characteristic->setValue(std::move(value));
        if (auto delegate = peripheral->delegate()) delegate->didUpdateValue(peripheral, characteristic, std::nullopt);
    });
}

void SimulatedPeripheral::deliverValue(const std::shared_ptr<Characteristic>& characteristic,
                                       std::optional<Bytes> value, std::optional<BleError> error) {
    post([characteristic, value = std::move(value), error = std::move(error)](SimulatedPeripheral& p) mutable {
        if (value) characteristic->setValue(std::move(*value));
        if (auto delegate = p.delegate()) delegate->didUpdateValue(p.self(), characteristic, error);
    });
}

void SimulatedPeripheral::deliverWrite(const std::shared_ptr<Characteristic>& characteristic,
                                       std::optional<BleError> error) {
    post([characteristic, error = std::move(error)](SimulatedPeripheral& p) {
        if (auto delegate = p.delegate()) delegate->didWriteValue(p.self(), characteristic, error);
    });
}

void SimulatedPeripheral::log(const std::string& line) const {
    if (log_) log_(line);
}

}  // namespace ble::sim
