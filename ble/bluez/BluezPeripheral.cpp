// A BlueZ device's GATT side: services and characteristics read from the object tree,
// reads, notifications and writes as asynchronous calls on the characteristic objects.
#include "ble/bluez/BluezPeripheral.h"

#include "ble/bluez/BluezCentral.h"
#include "ble/bluez/BluezNames.h"
#include "ble/bluez/CharacteristicFlags.h"
#include "ble/bluez/GattPathOrder.h"

#include <unistd.h>

#include <algorithm>

namespace ble::bluez {

namespace {

constexpr std::size_t kDefaultWriteLength = 20;  // ATT's minimum MTU of 23, less the 3-byte header
constexpr std::size_t kMaxAttributeLength = 512;
constexpr unsigned kMaxWritesInFlight = 8;
// Notifications held back for a characteristic whose notifications are not on yet.
constexpr std::size_t kMaxHeldValues = 256;

std::map<std::string, sdbus::Variant> writeOptions(WriteType type) {
    return {{"type", sdbus::Variant(std::string(type == WriteType::withResponse ? "request" : "command"))}};
}

}  // namespace

BluezPeripheral::BluezPeripheral(asio::io_context& mainQueue, std::weak_ptr<BluezCentral> central, std::string path,
                                 std::string address)
    : Peripheral(std::nullopt),
      mainQueue_(mainQueue),
      central_(std::move(central)),
      path_(std::move(path)),
      address_(std::move(address)),
      maxWriteLength_(kDefaultWriteLength),
      resolveTimer_(mainQueue) {}

BluezPeripheral::~BluezPeripheral() {
    for (auto& [path, entry] : characteristics_)
        if (entry.stream) entry.stream->close();
}

std::shared_ptr<BluezPeripheral> BluezPeripheral::self() {
    return std::static_pointer_cast<BluezPeripheral>(shared_from_this());
}

std::shared_ptr<BluezCentral> BluezPeripheral::central() const { return central_.lock(); }

void BluezPeripheral::post(std::function<void(BluezPeripheral&)> work) {
    asio::post(mainQueue_, [weak = weak_from_this(), work = std::move(work)] {
        if (auto peripheral = weak.lock()) work(static_cast<BluezPeripheral&>(*peripheral));
    });
}

void BluezPeripheral::log(const std::string& line) const {
    if (auto c = central()) c->log(line);
}

void BluezPeripheral::logBusError(const std::string& what, const BusError& error) const {
    log("BlueZ: " + what + " on " + name().value_or(address_) + " failed: " + error.text());
}

void BluezPeripheral::offerName(const std::string& name) {
    if (!name.empty() && !this->name()) setName(name);
}

void BluezPeripheral::beginConnecting() {
    ++linkGeneration_;
    connectSent_ = connectReplyPending_ = false;
    setState(PeripheralState::connecting);
}

void BluezPeripheral::linkUp() { setState(PeripheralState::connected); }

void BluezPeripheral::linkDown() {
    ++linkGeneration_;
    connectSent_ = connectReplyPending_ = false;
    servicesWanted_.reset();
    resolveTimer_.cancel();
    for (auto& [path, entry] : characteristics_) {
        if (entry.stream) entry.stream->close();
        entry.characteristic->setNotifying(false);
    }
    characteristics_.clear();
    servicePaths_.clear();
    heldValues_.clear();
    writes_.clear();
    writesInFlight_ = 0;
    maxWriteLength_.store(kDefaultWriteLength);
    mtuLogged_ = false;
    setServices(std::nullopt);
    setState(PeripheralState::disconnected);
}

BluezPeripheral::CharacteristicEntry* BluezPeripheral::entryOf(const std::shared_ptr<Characteristic>& characteristic) {
    for (auto& [path, entry] : characteristics_)
        if (entry.characteristic == characteristic) return &entry;
    return nullptr;
}

BluezPeripheral::CharacteristicEntry* BluezPeripheral::entryAt(const std::string& path) {
    const auto it = characteristics_.find(path);
    return it == characteristics_.end() ? nullptr : &it->second;
}

// ---- services and characteristics

void BluezPeripheral::discoverServices(const std::vector<Uuid>& serviceUuids) {
    post([serviceUuids](BluezPeripheral& p) {
        if (p.state() != PeripheralState::connected) return p.deliverServices(BleError{"not connected"});
        p.whenServicesResolved(serviceUuids);
    });
}

// ServicesResolved sends no signal when it is already true, so it is read first.
void BluezPeripheral::whenServicesResolved(std::vector<Uuid> uuids) {
    auto c = central();
    if (!c) return;
    servicesWanted_ = std::move(uuids);
    resolveTimer_.expires_after(kServicesResolveTimeout);
    resolveTimer_.async_wait([weak = weak_from_this(), generation = linkGeneration_](const std::error_code& error) {
        auto p = std::static_pointer_cast<BluezPeripheral>(weak.lock());
        if (!error && p && p->linkGeneration_ == generation && p->servicesWanted_)
            p->failServiceDiscovery("BlueZ did not resolve the services in time");
    });
    c->bus().call(
        kBluezService, path_, kPropertiesInterface, "Get",
        [](sdbus::MethodCall& call) { call << std::string(kDeviceInterface) << std::string("ServicesResolved"); },
        kShortCallTimeout,
        [weak = weak_from_this(), generation = linkGeneration_](sdbus::MethodReply* reply, const BusError* error) {
            auto p = std::static_pointer_cast<BluezPeripheral>(weak.lock());
            if (!p || p->linkGeneration_ != generation || !p->servicesWanted_) return;
            if (error) return p->logBusError("reading ServicesResolved", *error);
            sdbus::Variant value;
            *reply >> value;
            if (value.containsValueOfType<bool>() && value.get<bool>()) p->servicesResolved();
        });
}

void BluezPeripheral::servicesResolved() {
    if (!servicesWanted_) return;
    const std::vector<Uuid> uuids = std::move(*servicesWanted_);
    servicesWanted_.reset();
    resolveTimer_.cancel();
    finishServiceDiscovery(uuids);
}

void BluezPeripheral::failServiceDiscovery(const std::string& why) {
    servicesWanted_.reset();
    log("BlueZ: service discovery on " + name().value_or(address_) + " failed: " + why);
    deliverServices(BleError{why});
}

// Only services under this device's own object path count: a printer also offers services
// whose characteristics must never be used.
void BluezPeripheral::finishServiceDiscovery(const std::vector<Uuid>& uuids) {
    auto c = central();
    if (!c) return;
    std::vector<std::string> paths;
    for (const std::string& path : c->tree().pathsWith(kGattServiceInterface))
        if (isChildPath(path, path_)) paths.push_back(path);
    std::sort(paths.begin(), paths.end(),
              [](const std::string& a, const std::string& b) { return handleOrderLess(a, b, "service"); });
    Services services;
    servicePaths_.clear();
    for (const std::string& path : paths) {
        const Properties* properties = c->tree().find(path, kGattServiceInterface);
        const auto text = propertyOf<std::string>(properties, "UUID");
        const auto uuid = text ? Uuid::parse(*text) : std::nullopt;
        if (!uuid) {
            log("BlueZ: service " + path + " has no valid UUID; skipped");
            continue;
        }
        if (!uuids.empty() && std::find(uuids.begin(), uuids.end(), *uuid) == uuids.end()) continue;
        const bool primary = propertyOf<bool>(properties, "Primary").value_or(true);
        auto& service = knownServices_[path];
        if (!service || service->uuid() != *uuid || service->isPrimary() != primary)
            service = std::make_shared<Service>(*uuid, primary);
        servicePaths_[service] = path;
        services.push_back(std::move(service));
    }
    setServices(std::move(services));
    deliverServices(std::nullopt);
}

void BluezPeripheral::deliverServices(std::optional<BleError> error) {
    post([error = std::move(error), generation = linkGeneration_](BluezPeripheral& p) {
        if (p.linkGeneration_ != generation && !error) return;
        if (auto delegate = p.delegate()) delegate->didDiscoverServices(p.self(), error);
    });
}

void BluezPeripheral::discoverCharacteristics(const std::shared_ptr<Service>& service) {
    post([service](BluezPeripheral& p) {
        auto c = p.central();
        const auto found = p.servicePaths_.find(service);
        auto deliver = [&p, service](std::optional<BleError> error) {
            p.post([service, error = std::move(error), generation = p.linkGeneration_](BluezPeripheral& q) {
                if (q.linkGeneration_ != generation && !error) return;
                if (auto delegate = q.delegate()) delegate->didDiscoverCharacteristics(q.self(), service, error);
            });
        };
        if (!c || found == p.servicePaths_.end() || p.state() != PeripheralState::connected)
            return deliver(BleError{"the service is not one of this connection's"});
        const std::string& servicePath = found->second;
        std::vector<std::string> paths;
        for (const std::string& path : c->tree().pathsWith(kGattCharacteristicInterface))
            if (isChildPath(path, servicePath)) paths.push_back(path);
        std::sort(paths.begin(), paths.end(),
                  [](const std::string& a, const std::string& b) { return handleOrderLess(a, b, "char"); });
        Service::Characteristics list;
        for (const std::string& path : paths) {
            const Properties* properties = c->tree().find(path, kGattCharacteristicInterface);
            const auto text = propertyOf<std::string>(properties, "UUID");
            const auto uuid = text ? Uuid::parse(*text) : std::nullopt;
            if (!uuid) {
                p.log("BlueZ: characteristic " + path + " has no valid UUID; skipped");
                continue;
            }
            const auto flags = propertyOf<std::vector<std::string>>(properties, "Flags").value_or(std::vector<std::string>{});
            const CharacteristicProperties bits = propertiesFromFlags(flags);
            auto& characteristic = p.knownCharacteristics_[path];
            if (!characteristic || characteristic->uuid() != *uuid || characteristic->serviceUuid() != service->uuid() ||
                characteristic->properties() != bits)
                characteristic = std::make_shared<Characteristic>(*uuid, service->uuid(), bits);
            if (auto* old = p.entryAt(path); old && old->stream) old->stream->close();
            p.characteristics_[path] = CharacteristicEntry{.characteristic = characteristic, .path = path, .notifyWanted = false, .stream = nullptr};
            if (const auto mtu = propertyOf<std::uint16_t>(properties, "MTU")) p.noteMtu(*mtu);
            list.push_back(characteristic);
        }
        service->setCharacteristics(std::move(list));
        deliver(std::nullopt);
    });
}

void BluezPeripheral::noteMtu(std::uint16_t attMtu) {
    if (attMtu < kDefaultWriteLength + 3) return;
    const std::size_t length = std::min<std::size_t>(attMtu - 3u, kMaxAttributeLength);
    if (mtuLogged_ && length == maxWriteLength_.load()) return;
    maxWriteLength_.store(length);
    mtuLogged_ = true;
    log("BlueZ: " + name().value_or(address_) + " (" + address_ + ") MTU " + std::to_string(attMtu));
}

std::size_t BluezPeripheral::maximumWriteValueLength(WriteType) const { return maxWriteLength_.load(); }

void BluezPeripheral::propertiesChanged(const std::string& path, const std::string& interface,
                                        const Properties& changed) {
    if (interface == kDeviceInterface && path == path_) {
        if (propertyOf<bool>(&changed, "ServicesResolved").value_or(false)) servicesResolved();
        return;
    }
    if (interface != kGattCharacteristicInterface) return;
    if (const auto mtu = propertyOf<std::uint16_t>(&changed, "MTU");
        mtu && state() == PeripheralState::connected && entryAt(path))
        noteMtu(*mtu);
    if (const auto value = propertyOf<std::vector<std::uint8_t>>(&changed, "Value")) notification(path, *value);
}

// ---- reads and notifications

void BluezPeripheral::deliverValue(const std::shared_ptr<Characteristic>& characteristic, Bytes value,
                                   std::optional<BleError> error) {
    post([characteristic, value = std::move(value), error = std::move(error),
          generation = linkGeneration_](BluezPeripheral& p) mutable {
        if (p.linkGeneration_ != generation) return;
        if (!error) characteristic->setValue(std::move(value));
        if (auto delegate = p.delegate()) delegate->didUpdateValue(p.self(), characteristic, error);
    });
}

void BluezPeripheral::readValue(const std::shared_ptr<Characteristic>& characteristic) {
    post([characteristic](BluezPeripheral& p) {
        auto c = p.central();
        CharacteristicEntry* entry = p.entryOf(characteristic);
        if (!c || !entry || p.state() != PeripheralState::connected)
            return p.deliverValue(characteristic, {}, BleError{"not connected, or not a characteristic of this link"});
        c->bus().call(
            kBluezService, entry->path, kGattCharacteristicInterface, "ReadValue",
            [](sdbus::MethodCall& call) { call << std::map<std::string, sdbus::Variant>{}; }, kShortCallTimeout,
            [weak = p.weak_from_this(), characteristic, generation = p.linkGeneration_](sdbus::MethodReply* reply,
                                                                                       const BusError* error) {
                auto q = std::static_pointer_cast<BluezPeripheral>(weak.lock());
                if (!q || q->linkGeneration_ != generation) return;
                if (error) {
                    q->logBusError("ReadValue", *error);
                    return q->deliverValue(characteristic, {}, error->toBleError());
                }
                Bytes value;
                *reply >> value;
                q->deliverValue(characteristic, std::move(value), std::nullopt);
            });
    });
}

void BluezPeripheral::setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) {
    post([enabled, characteristic](BluezPeripheral& p) {
        CharacteristicEntry* entry = p.entryOf(characteristic);
        if (!entry || p.state() != PeripheralState::connected) {
            p.log("BlueZ: notifications of a characteristic that is not one of this link's left alone");
            return;
        }
        if (enabled == entry->notifyWanted) return;
        entry->notifyWanted = enabled;
        if (enabled) p.startNotifications(*entry);
        else p.stopNotifications(*entry);
    });
}

// AcquireNotify gives this process the notifications alone: a second client turning them
// on cannot make each one arrive twice.
void BluezPeripheral::startNotifications(CharacteristicEntry& entry) {
    auto c = central();
    if (!c) return;
    const Properties* properties = c->tree().find(entry.path, kGattCharacteristicInterface);
    const bool acquirable = properties != nullptr && properties->contains("NotifyAcquired");
    const std::string path = entry.path;
    const auto generation = linkGeneration_;
    auto startNotify = [weak = weak_from_this(), path, generation] {
        auto p = std::static_pointer_cast<BluezPeripheral>(weak.lock());
        auto c = p ? p->central() : nullptr;
        if (!c) return;
        c->bus().call(kBluezService, path, kGattCharacteristicInterface, "StartNotify", {}, kShortCallTimeout,
                      [weak, path, generation](sdbus::MethodReply*, const BusError* error) {
                          auto q = std::static_pointer_cast<BluezPeripheral>(weak.lock());
                          if (!q || q->linkGeneration_ != generation) return;
                          CharacteristicEntry* entry = q->entryAt(path);
                          if (!entry || !entry->notifyWanted) return;
                          if (error && !error->meansInProgress()) return q->logBusError("StartNotify", *error);
                          q->notificationsOn(*entry);
                      });
    };
    if (!acquirable) return startNotify();
    c->bus().call(
        kBluezService, path, kGattCharacteristicInterface, "AcquireNotify",
        [](sdbus::MethodCall& call) { call << std::map<std::string, sdbus::Variant>{}; }, kShortCallTimeout,
        [weak = weak_from_this(), path, generation, startNotify](sdbus::MethodReply* reply, const BusError* error) {
            auto p = std::static_pointer_cast<BluezPeripheral>(weak.lock());
            if (!p) return;
            if (error) {
                if (p->linkGeneration_ != generation) return;
                p->logBusError("AcquireNotify", *error);
                return startNotify();
            }
            sdbus::UnixFd fd;
            std::uint16_t mtu = 0;
            *reply >> fd >> mtu;
            p->acquired(path, generation, fd.release(), mtu);
        });
}

void BluezPeripheral::acquired(const std::string& path, std::uint64_t generation, int fd, std::uint16_t mtu) {
    CharacteristicEntry* entry = entryAt(path);
    if (generation != linkGeneration_ || !entry || !entry->notifyWanted || fd < 0) {
        if (fd >= 0) ::close(fd);
        return;
    }
    noteMtu(mtu);
    entry->stream = NotifyStream::open(
        mainQueue_, fd,
        [weak = weak_from_this(), characteristic = entry->characteristic](Bytes packet) {
            if (auto p = std::static_pointer_cast<BluezPeripheral>(weak.lock()))
                p->deliverValue(characteristic, std::move(packet), std::nullopt);
        },
        [weak = weak_from_this(), path] {
            auto p = std::static_pointer_cast<BluezPeripheral>(weak.lock());
            CharacteristicEntry* entry = p ? p->entryAt(path) : nullptr;
            if (!entry) return;
            entry->stream.reset();
            entry->notifyWanted = false;
            entry->characteristic->setNotifying(false);
            p->log("BlueZ: notifications of " + path + " ended (BlueZ closed the socket)");
        });
    notificationsOn(*entry);
}

void BluezPeripheral::notificationsOn(CharacteristicEntry& entry) {
    entry.characteristic->setNotifying(true);
    const auto held = heldValues_.find(entry.path);
    if (held == heldValues_.end()) return;
    for (Bytes& value : held->second) deliverValue(entry.characteristic, std::move(value), std::nullopt);
    heldValues_.erase(held);
}

void BluezPeripheral::stopNotifications(CharacteristicEntry& entry) {
    heldValues_.erase(entry.path);
    const bool wasNotifying = entry.characteristic->isNotifying();
    entry.characteristic->setNotifying(false);
    if (entry.stream) {
        entry.stream->close();
        entry.stream.reset();
        return;
    }
    auto c = central();
    if (!c || !wasNotifying) return;
    c->bus().call(kBluezService, entry.path, kGattCharacteristicInterface, "StopNotify", {}, kShortCallTimeout,
                  [weak = weak_from_this()](sdbus::MethodReply*, const BusError* error) {
                      auto p = std::static_pointer_cast<BluezPeripheral>(weak.lock());
                      if (p && error) p->logBusError("StopNotify", *error);
                  });
}

// A Value change: a notification, unless this process reads them from its own socket. BlueZ
// may turn notifications on by itself at reconnection; such values wait for the agent.
void BluezPeripheral::notification(const std::string& path, Bytes value) {
    CharacteristicEntry* entry = entryAt(path);
    if (entry && entry->stream) return;
    if (entry && entry->characteristic->isNotifying())
        return deliverValue(entry->characteristic, std::move(value), std::nullopt);
    if (!isBelowPath(path, path_)) return;
    auto& held = heldValues_[path];
    if (held.size() >= kMaxHeldValues) held.pop_front();
    held.push_back(std::move(value));
}

// ---- writes

void BluezPeripheral::writeValue(Bytes value, const std::shared_ptr<Characteristic>& characteristic, WriteType type) {
    post([value = std::move(value), characteristic, type](BluezPeripheral& p) mutable {
        const auto needed = type == WriteType::withResponse ? CharacteristicProperty::write
                                                            : CharacteristicProperty::writeWithoutResponse;
        const bool possible = p.entryOf(characteristic) && p.state() == PeripheralState::connected &&
                              characteristic->properties().has(needed);
        if (!possible && type == WriteType::withoutResponse) return;  // lost, as on the air
        p.writes_.push_back({std::move(value), characteristic, type, !possible});
        p.pumpWrites();
    });
}

// BlueZ handles calls in the order they arrive, so a few may be in flight without
// reordering; the rest wait here.
void BluezPeripheral::pumpWrites() {
    while (writesInFlight_ < kMaxWritesInFlight && !writes_.empty()) {
        // A refused write's answer waits for the answers to the writes before it.
        if (writes_.front().refused && writesInFlight_ > 0) return;
        PendingWrite write = std::move(writes_.front());
        writes_.pop_front();
        if (write.refused) {
            post([characteristic = write.characteristic](BluezPeripheral& q) {
                if (auto delegate = q.delegate())
                    delegate->didWriteValue(q.self(), characteristic, BleError{"the write cannot be carried out"});
            });
            continue;
        }
        sendWrite(std::move(write));
    }
}

void BluezPeripheral::sendWrite(PendingWrite write) {
    auto c = central();
    CharacteristicEntry* entry = entryOf(write.characteristic);
    if (!c || !entry) return;
    ++writesInFlight_;
    c->bus().call(
        kBluezService, entry->path, kGattCharacteristicInterface, "WriteValue",
        [&write](sdbus::MethodCall& call) { call << write.value << writeOptions(write.type); }, kShortCallTimeout,
        [weak = weak_from_this(), characteristic = write.characteristic, type = write.type,
         generation = linkGeneration_](sdbus::MethodReply*, const BusError* error) {
            auto p = std::static_pointer_cast<BluezPeripheral>(weak.lock());
            if (!p || p->linkGeneration_ != generation) return;
            --p->writesInFlight_;
            if (error) p->logBusError("WriteValue", *error);
            if (type == WriteType::withResponse) {
                std::optional<BleError> result;
                if (error) result = error->toBleError();
                p->post([characteristic, result](BluezPeripheral& q) {
                    if (auto delegate = q.delegate()) delegate->didWriteValue(q.self(), characteristic, result);
                });
            }
            p->pumpWrites();
        });
}

}  // namespace ble::bluez
