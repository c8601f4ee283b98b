// The central's devices, discovery and connections.
#include "ble/bluez/BluezCentral.h"

#include "ble/bluez/BluezNames.h"
#include "ble/bluez/GattPathOrder.h"

#include <algorithm>

namespace ble::bluez {

namespace {

constexpr int kUnknownRssi = -127;

// BlueZ reports an advertisement after the first one only as changes of these.
bool isAdvertisement(const Properties& changed) {
    return changed.contains("RSSI") || changed.contains("ManufacturerData") || changed.contains("ServiceData") ||
           changed.contains("Name") || changed.contains("TxPower");
}

// "dev_AA_BB_CC_DD_EE_FF" → "AA:BB:CC:DD:EE:FF", for a device object without an Address.
std::string addressFromKey(const std::string& key) {
    std::string address = key.starts_with("dev_") ? key.substr(4) : key;
    std::replace(address.begin(), address.end(), '_', ':');
    return address;
}

}  // namespace

// ---- devices

std::shared_ptr<BluezPeripheral> BluezCentral::deviceAt(const std::string& path) {
    if (!isChildPath(path, adapterPath_)) return nullptr;
    const std::string key = path.substr(path.rfind('/') + 1);
    auto& device = devices_[key];
    if (!device) {
        const auto address = propertyOf<std::string>(tree_.find(path, kDeviceInterface), "Address");
        device = std::make_shared<BluezPeripheral>(mainQueue(), self(), path, address.value_or(addressFromKey(key)));
    } else if (device->path() != path) {
        device->setPath(path);
    }
    return device;
}

std::shared_ptr<BluezPeripheral> BluezCentral::ownDevice(const std::shared_ptr<Peripheral>& peripheral) const {
    for (const auto& [key, device] : devices_)
        if (device == peripheral) return device;
    return nullptr;
}

void BluezCentral::deviceSeen(const std::string& path, const Properties& properties, bool appeared) {
    auto device = deviceAt(path);
    if (!device) return;
    if (const auto name = propertyOf<std::string>(&properties, "Name")) device->offerName(*name);
    if (const auto name = device->name(); name && namesLogged_.insert(path).second)
        log("BlueZ: found " + *name + " (" + device->address().value_or("?") + ")");
    if (!appeared && !isAdvertisement(properties)) return;
    const auto rssi = propertyOf<std::int16_t>(tree_.find(path, kDeviceInterface), "RSSI");
    if (scanWanted_.load()) reportDiscovery(device, rssi.value_or(kUnknownRssi));
}

// A device linked to this process is not reported: it advertises no more.
void BluezCentral::reportDiscovery(const std::shared_ptr<BluezPeripheral>& device, int rssi) {
    if (device->state() != PeripheralState::disconnected) return;
    post([device, rssi, generation = scanGeneration_.load()](BluezCentral& c) {
        if (generation != c.scanGeneration_.load() || !c.scanWanted_.load()) return;
        if (auto delegate = c.delegate()) delegate->didDiscoverPeripheral(c, device, rssi);
    });
}

// Devices BlueZ already knows bring no InterfacesAdded; those seen lately (they have an RSSI)
// and those still connected from before are reported at once.
void BluezCentral::reportKnownDevices() {
    for (const std::string& path : tree_.pathsWith(kDeviceInterface)) {
        if (!isChildPath(path, adapterPath_)) continue;
        const Properties* properties = tree_.find(path, kDeviceInterface);
        const auto rssi = propertyOf<std::int16_t>(properties, "RSSI");
        if (rssi || propertyOf<bool>(properties, "Connected").value_or(false))
            reportDiscovery(deviceAt(path), rssi.value_or(kUnknownRssi));
    }
}

// ---- discovery

void BluezCentral::scanForPeripherals() {
    const std::uint64_t generation = ++scanGeneration_;
    scanWanted_.store(true);
    post([generation](BluezCentral& c) {
        if (generation != c.scanGeneration_.load()) return;
        if (c.state() != CentralState::poweredOn) {
            c.scanWanted_.store(false);
            c.log("BlueZ: scan ignored, Bluetooth is not powered on");
            return;
        }
        c.discoveryFailed_ = false;
        c.reportKnownDevices();
        c.reconcileDiscovery();
    });
}

void BluezCentral::stopScan() {
    ++scanGeneration_;
    scanWanted_.store(false);
    post([](BluezCentral& c) { c.reconcileDiscovery(); });
}

bool BluezCentral::anyConnecting() const {
    return std::any_of(devices_.begin(), devices_.end(),
                       [](const auto& entry) { return entry.second->state() == PeripheralState::connecting; });
}

// BlueZ aborts LE connections made during discovery: it is off while one is being made.
void BluezCentral::reconcileDiscovery() {
    if (discoveryCallPending_ || adapterPath_.empty()) return;
    const bool wanted =
        scanWanted_.load() && !discoveryFailed_ && state() == CentralState::poweredOn && !anyConnecting();
    if (wanted != discoveryOn_) return setDiscovery(wanted);
    if (discoveryOn_) return;
    for (const auto& [key, device] : devices_)
        if (device->state() == PeripheralState::connecting && !device->connectSent()) sendConnect(device);
}

void BluezCentral::setDiscovery(bool on) {
    discoveryCallPending_ = true;
    const std::uint64_t generation = treeGeneration_;
    auto replied = [weak = weak_from_this(), generation, on](const char* method, const BusError* error) {
        auto c = std::static_pointer_cast<BluezCentral>(weak.lock());
        if (!c || generation != c->treeGeneration_) return c;
        c->discoveryCallPending_ = false;
        if (error && !(on && error->meansInProgress())) {
            c->log(std::string("BlueZ: ") + method + " failed: " + error->text());
            // No retry loop: the next scan request asks again.
            if (on) c->discoveryFailed_ = true;
        }
        c->discoveryOn_ = on && !c->discoveryFailed_;
        return c;
    };
    if (!on) {
        bus_.call(kBluezService, adapterPath_, kAdapterInterface, "StopDiscovery", {}, kShortCallTimeout,
                  [replied](sdbus::MethodReply*, const BusError* error) {
                      if (auto c = replied("StopDiscovery", error)) c->reconcileDiscovery();
                  });
        return;
    }
    // No UUID filter: the printers advertise none.
    bus_.call(
        kBluezService, adapterPath_, kAdapterInterface, "SetDiscoveryFilter",
        [](sdbus::MethodCall& call) {
            call << std::map<std::string, sdbus::Variant>{{"Transport", sdbus::Variant(std::string("le"))},
                                                          {"DuplicateData", sdbus::Variant(true)}};
        },
        kShortCallTimeout, [weak = weak_from_this()](sdbus::MethodReply*, const BusError* error) {
            auto c = std::static_pointer_cast<BluezCentral>(weak.lock());
            if (c && error) c->log("BlueZ: SetDiscoveryFilter failed: " + error->text());
        });
    bus_.call(kBluezService, adapterPath_, kAdapterInterface, "StartDiscovery", {}, kShortCallTimeout,
              [replied](sdbus::MethodReply*, const BusError* error) {
                  if (auto c = replied("StartDiscovery", error)) c->reconcileDiscovery();
              });
}

// ---- connections

void BluezCentral::connect(const std::shared_ptr<Peripheral>& peripheral) {
    post([peripheral](BluezCentral& c) {
        auto device = c.ownDevice(peripheral);
        if (!device) return c.log("BlueZ: connect ignored, the peripheral is not one of this radio's");
        if (c.state() != CentralState::poweredOn) return c.failConnect(device, BleError{"Bluetooth is not powered on"});
        if (device->state() == PeripheralState::connecting) return;
        if (device->state() == PeripheralState::connected) {
            c.post([device](BluezCentral& c) {
                if (auto delegate = c.delegate()) delegate->didConnect(c, device);
            });
            return;
        }
        device->beginConnecting();
        c.reconcileDiscovery();
    });
}

void BluezCentral::sendConnect(const std::shared_ptr<BluezPeripheral>& device) {
    device->markConnectSent();
    const std::uint64_t generation = device->linkGeneration();
    bus_.call(kBluezService, device->path(), kDeviceInterface, "Connect", {}, kConnectTimeout,
              [weak = weak_from_this(), device, generation](sdbus::MethodReply*, const BusError* error) {
                  if (auto c = std::static_pointer_cast<BluezCentral>(weak.lock()))
                      c->connectReplied(device, generation, error);
              });
}

void BluezCentral::connectReplied(const std::shared_ptr<BluezPeripheral>& device, std::uint64_t generation,
                                  const BusError* error) {
    if (device->linkGeneration() == generation) device->markConnectReplied();
    if (device->linkGeneration() != generation) {
        // Cancelled meanwhile: a link that came up anyway is taken down again.
        if (!error) disconnectDevice(device->path());
        return;
    }
    if (device->state() != PeripheralState::connecting) return;
    const bool connectedNow = propertyOf<bool>(tree_.find(device->path(), kDeviceInterface), "Connected").value_or(false);
    if (!error || error->meansAlreadyConnected() || (error->meansInProgress() && connectedNow))
        return finishConnect(device);
    log("BlueZ: Connect to " + device->name().value_or(device->path()) + " failed: " + error->text());
    if (error->meansInProgress()) {
        // Someone else's attempt is pending: its Connected change decides, within the time-out.
        auto timer = std::make_shared<asio::steady_timer>(mainQueue(), kConnectTimeout);
        timer->async_wait([weak = weak_from_this(), device, generation, timer](const std::error_code&) {
            auto c = std::static_pointer_cast<BluezCentral>(weak.lock());
            if (c && device->linkGeneration() == generation && device->state() == PeripheralState::connecting)
                c->failConnect(device, BleError{"the pending connection did not complete"});
        });
        return;
    }
    failConnect(device, error->toBleError());
}

void BluezCentral::finishConnect(const std::shared_ptr<BluezPeripheral>& device) {
    device->linkUp();
    post([device](BluezCentral& c) {
        if (auto delegate = c.delegate()) delegate->didConnect(c, device);
    });
    reconcileDiscovery();
}

void BluezCentral::failConnect(const std::shared_ptr<BluezPeripheral>& device, BleError error) {
    if (device->state() != PeripheralState::disconnected) device->linkDown();
    post([device, error = std::move(error)](BluezCentral& c) {
        if (auto delegate = c.delegate()) delegate->didFailToConnect(c, device, error);
    });
    reconcileDiscovery();
}

void BluezCentral::endLink(const std::shared_ptr<BluezPeripheral>& device, std::optional<BleError> error) {
    device->linkDown();
    post([device, error = std::move(error)](BluezCentral& c) {
        if (auto delegate = c.delegate()) delegate->didDisconnect(c, device, error);
    });
    reconcileDiscovery();
}

void BluezCentral::deviceConnectedChanged(const std::shared_ptr<BluezPeripheral>& device, bool connected) {
    if (!device) return;
    // While this process's Connect is pending its reply decides: an LE link that is aborted
    // as it comes up shows Connected true, then false, and Connect fails.
    if (connected && device->state() == PeripheralState::connecting && device->connectSent() &&
        !device->connectReplyPending())
        return finishConnect(device);
    if (!connected && device->state() == PeripheralState::connected)
        endLink(device, BleError{"the link to " + device->name().value_or(device->address().value_or("")) + " was lost"});
}

void BluezCentral::cancelConnection(const std::shared_ptr<Peripheral>& peripheral) {
    post([peripheral](BluezCentral& c) {
        auto device = c.ownDevice(peripheral);
        if (!device || device->state() == PeripheralState::disconnected) return;
        const bool sent = device->state() == PeripheralState::connected || device->connectSent();
        c.endLink(device, std::nullopt);
        if (sent) c.disconnectDevice(device->path());
    });
}

void BluezCentral::disconnectDevice(const std::string& path) {
    bus_.call(kBluezService, path, kDeviceInterface, "Disconnect", {}, kShortCallTimeout,
              [weak = weak_from_this(), path](sdbus::MethodReply*, const BusError* error) {
                  auto c = std::static_pointer_cast<BluezCentral>(weak.lock());
                  if (c && error) c->log("BlueZ: Disconnect of " + path + " failed: " + error->text());
              });
}

}  // namespace ble::bluez
