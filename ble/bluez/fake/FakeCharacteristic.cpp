// Remote characteristic: the methods and properties of org.bluez.GattCharacteristic1.
#include "ble/bluez/fake/FakeCharacteristic.h"

#include "ble/bluez/fake/BluezNames.h"
#include "ble/bluez/fake/BluezText.h"
#include "ble/sim/VirtualPrinter.h"

namespace ble::bluez::fake {

namespace {

using Options = std::map<std::string, sdbus::Variant>;

// Absent, or present with the given type; anything else in the dictionary is ignored.
template <typename T>
std::optional<T> option(const Options& options, const std::string& name) {
    const auto found = options.find(name);
    if (found == options.end()) return std::nullopt;
    if (!found->second.containsValueOfType<T>()) throw invalidArgumentsError();
    return found->second.get<T>();
}

std::vector<std::string> flagNames(CharacteristicProperties properties) {
    std::vector<std::string> flags;
    if (properties.has(CharacteristicProperty::read)) flags.emplace_back("read");
    if (properties.has(CharacteristicProperty::writeWithoutResponse)) flags.emplace_back("write-without-response");
    if (properties.has(CharacteristicProperty::write)) flags.emplace_back("write");
    if (properties.has(CharacteristicProperty::notify)) flags.emplace_back("notify");
    return flags;
}

}  // namespace

FakeCharacteristic::FakeCharacteristic(const BusContext& bus, std::string path, std::string servicePath, Uuid uuid,
                                       CharacteristicProperties properties, std::uint16_t attMtu,
                                       CharacteristicHandlers handlers, bool notifyingAlready)
    : bus_(bus),
      path_(std::move(path)),
      servicePath_(std::move(servicePath)),
      uuid_(uuid),
      properties_(properties),
      attMtu_(attMtu),
      handlers_(std::move(handlers)),
      restored_(notifyingAlready && properties.has(CharacteristicProperty::notify)) {
    object_ = sdbus::createObject(bus_.connection, path_);
    const char* interface = kGattCharacteristicInterface;
    registerProperties(*object_, interface, [this] { return this->properties(); });
    object_->registerMethod("ReadValue").onInterface(interface).withInputParamNames("options").withOutputParamNames("value")
        .implementedAs([this](const Options& options) { return readValue(options); });
    object_->registerMethod("WriteValue").onInterface(interface).withInputParamNames("value", "options")
        .implementedAs([this](const std::vector<std::uint8_t>& value, const Options& options) { writeValue(value, options); });
    object_->registerMethod("StartNotify").onInterface(interface).implementedAs([this] { startNotify(); });
    object_->registerMethod("StopNotify").onInterface(interface).implementedAs([this] { stopNotify(); });
    object_->registerMethod("AcquireNotify").onInterface(interface).withInputParamNames("options")
        .withOutputParamNames("fd", "mtu")
        .implementedAs([this](const Options& options) { return acquireNotify(options); });
    object_->finishRegistration();
}

FakeCharacteristic::~FakeCharacteristic() { *alive_ = false; }

PropertyMap FakeCharacteristic::properties() const {
    PropertyMap map{
        {"UUID", bluezUuidText(uuid_)},
        {"Service", sdbus::ObjectPath(servicePath_)},
        {"Value", value_},
        {"Flags", flagNames(properties_)},
        {"MTU", attMtu_},
    };
    if (properties_.has(CharacteristicProperty::notify)) {
        map.emplace("Notifying", notifying());
        map.emplace("NotifyAcquired", socket_ != nullptr);
    }
    return map;
}

void FakeCharacteristic::announce() {
    emitInterfacesAdded(bus_.manager, path_, {{kGattCharacteristicInterface, properties()}});
}

void FakeCharacteristic::withdraw() { emitInterfacesRemoved(bus_.manager, path_, {kGattCharacteristicInterface}); }

std::string FakeCharacteristic::sender() const {
    const auto* message = object_->getCurrentlyProcessedMessage();
    return message ? message->getSender() : std::string{};
}

void FakeCharacteristic::setValue(const Bytes& value) {
    value_ = value;
    emitPropertiesChanged(*object_, kGattCharacteristicInterface, {{"Value", value_}});
}

std::vector<std::uint8_t> FakeCharacteristic::readValue(const Options& options) {
    const auto offset = option<std::uint16_t>(options, "offset").value_or(0);
    const auto value = handlers_.read ? handlers_.read() : std::nullopt;
    if (!properties_.has(CharacteristicProperty::read) || !value) throw notPermittedError("Read not permitted");
    if (offset > value->size()) throw bluezError("InvalidOffset", "Invalid offset");
    setValue(*value);
    return Bytes(value->begin() + offset, value->end());
}

// Without a type, a characteristic that takes write requests gets one; "reliable" is a
// request here too.
void FakeCharacteristic::writeValue(const std::vector<std::uint8_t>& value, const Options& options) {
    const auto type = option<std::string>(options, "type");
    if (option<std::uint16_t>(options, "offset").value_or(0) != 0) throw notSupportedError();
    bool withResponse = false;
    if (type == "command") {
        withResponse = false;
    } else if (type == "request" || type == "reliable") {
        withResponse = true;
    } else if (type) {
        throw invalidArgumentsError();
    } else {
        withResponse = properties_.has(CharacteristicProperty::write);
    }
    const auto needed = withResponse ? CharacteristicProperty::write : CharacteristicProperty::writeWithoutResponse;
    if (!properties_.has(needed)) throw notSupportedError();
    if (value.size() > (withResponse ? sim::kMaxAttributeLength : attMtu_ - 3u)) {
        // The peripheral counts what it lost on the link; a long write request never leaves.
        if (!withResponse && handlers_.write) handlers_.write(value, false);
        throw invalidLengthError();
    }
    if (handlers_.write && !handlers_.write(value, withResponse)) throw invalidLengthError();
}

void FakeCharacteristic::startNotify() {
    if (!properties_.has(CharacteristicProperty::notify)) throw notSupportedError();
    if (socket_) throw notPermittedError("Notify acquired");
    const bool before = notifying();
    sessions_.insert(sender());  // a second call from the same client is answered like the first
    restored_ = false;           // the subscription is the client's now
    notifyingUpdate(before);
}

void FakeCharacteristic::stopNotify() {
    if (!properties_.has(CharacteristicProperty::notify)) throw notSupportedError();
    const bool before = notifying();
    if (sessions_.erase(sender()) == 0) throw failedError("No notify session started");
    notifyingUpdate(before);
}

std::tuple<sdbus::UnixFd, std::uint16_t> FakeCharacteristic::acquireNotify(const Options&) {
    if (!properties_.has(CharacteristicProperty::notify)) throw notSupportedError();
    if (socket_) throw notPermittedError("Notify acquired");
    if (!sessions_.empty()) throw inProgressError();
    std::string problem;
    auto socket = NotifySocket::open(
        bus_.io,
        [this, alive = std::weak_ptr<bool>(alive_)] {
            if (auto living = alive.lock(); living && *living) socketClosed();
        },
        problem);
    if (!socket) {
        bus_.say("fake bluez: AcquireNotify on " + path_ + " failed: " + problem);
        throw failedError(problem);
    }
    const bool before = notifying();
    socket_ = std::move(socket);
    restored_ = false;
    auto clientEnd = socket_->takeClientEnd();
    notifyingUpdate(before, {{"NotifyAcquired", true}});
    return {std::move(clientEnd), attMtu_};
}

// The client closed its end: as a StopNotify.
void FakeCharacteristic::socketClosed() {
    const bool before = notifying();
    socket_.reset();
    notifyingUpdate(before, {{"NotifyAcquired", false}});
    bus_.wake();
}

void FakeCharacteristic::notifyingUpdate(bool before, const PropertyMap& alsoChanged) {
    PropertyMap changed = alsoChanged;
    const bool now = notifying();
    if (now != before) changed.emplace("Notifying", now);
    if (!changed.empty()) emitPropertiesChanged(*object_, kGattCharacteristicInterface, changed);
    if (now != before && handlers_.notifyingChanged) handlers_.notifyingChanged(now);
}

void FakeCharacteristic::notify(const Bytes& value) {
    if (!notifying()) return;
    if (socket_) {
        if (!socket_->send(value)) bus_.say("fake bluez: a notification on " + path_ + " was lost (socket full or closed)");
        return;
    }
    setValue(value);
}

void FakeCharacteristic::clientLeft(const std::string& busName) {
    const bool before = notifying();
    if (sessions_.erase(busName) != 0) notifyingUpdate(before);
}

}  // namespace ble::bluez::fake
