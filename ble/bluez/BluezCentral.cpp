// BlueZ's object tree and signals, and the radio state made of them.
#include "ble/bluez/BluezCentral.h"

#include "ble/bluez/BluezNames.h"
#include "ble/bluez/GattPathOrder.h"

namespace ble::bluez {

namespace {

std::string lastElement(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

std::shared_ptr<BluezCentral> BluezCentral::create(asio::io_context& mainQueue,
                                                   std::unique_ptr<sdbus::IConnection> connection, LogFunction log) {
    auto central = std::make_shared<BluezCentral>(mainQueue, std::move(connection), std::move(log));
    central->start();
    return central;
}

BluezCentral::BluezCentral(asio::io_context& mainQueue, std::unique_ptr<sdbus::IConnection> connection,
                           LogFunction log)
    : Central(mainQueue, CentralState::unknown), log_(log), bus_(mainQueue, std::move(connection), log) {}

BluezCentral::~BluezCentral() = default;

std::shared_ptr<BluezCentral> BluezCentral::self() {
    return std::static_pointer_cast<BluezCentral>(shared_from_this());
}

void BluezCentral::post(std::function<void(BluezCentral&)> work) {
    asio::post(mainQueue(), [weak = weak_from_this(), work = std::move(work)] {
        if (auto central = weak.lock()) work(static_cast<BluezCentral&>(*central));
    });
}

void BluezCentral::log(const std::string& line) const {
    if (log_) log_(line);
}

void BluezCentral::start() {
    // Without a bus there is no radio: links end and the state is unknown from then on.
    bus_.setFailureHandler([weak = weak_from_this()](const std::string& why) {
        auto c = std::static_pointer_cast<BluezCentral>(weak.lock());
        if (!c) return;
        c->log("BlueZ: the system bus connection was lost (" + why + "); Bluetooth is unavailable");
        c->bluezGone("the system bus connection was lost");
    });
    watchSignals();
    bus_.start();
    readTree();
}

void BluezCentral::watchSignals() {
    auto to = [weak = weak_from_this()](void (BluezCentral::*handler)(sdbus::Message&)) {
        return [weak, handler](sdbus::Message& signal) {
            if (auto central = std::static_pointer_cast<BluezCentral>(weak.lock())) (central.get()->*handler)(signal);
        };
    };
    bus_.addMatch(std::string("type='signal',sender='") + kBusDriverService + "',path='" + kBusDriverPath +
                      "',interface='" + kBusDriverService + "',member='NameOwnerChanged',arg0='" + kBluezService + "'",
                  to(&BluezCentral::onNameOwnerChanged));
    const std::string fromBluez = std::string("type='signal',sender='") + kBluezService + "',";
    bus_.addMatch(fromBluez + "interface='" + kObjectManagerInterface + "',member='InterfacesAdded'",
                  to(&BluezCentral::onInterfacesAdded));
    bus_.addMatch(fromBluez + "interface='" + kObjectManagerInterface + "',member='InterfacesRemoved'",
                  to(&BluezCentral::onInterfacesRemoved));
    bus_.addMatch(fromBluez + "interface='" + kPropertiesInterface +
                      "',member='PropertiesChanged',path_namespace='/org/bluez'",
                  to(&BluezCentral::onPropertiesChanged));
}

void BluezCentral::readTree() {
    const std::uint64_t generation = treeGeneration_;
    bus_.call(kBluezService, "/", kObjectManagerInterface, "GetManagedObjects", {}, kShortCallTimeout,
              [weak = weak_from_this(), generation](sdbus::MethodReply* reply, const BusError* error) {
                  auto c = std::static_pointer_cast<BluezCentral>(weak.lock());
                  if (!c || generation != c->treeGeneration_) return;
                  if (error) {
                      c->log("BlueZ: cannot read BlueZ's objects: " + error->text() +
                             "; waiting for bluetoothd to start");
                      return c->bluezGone("bluetoothd is not running");
                  }
                  c->onManagedObjects(*reply);
              });
}

void BluezCentral::onManagedObjects(sdbus::MethodReply& reply) {
    ManagedObjects objects;
    reply >> objects;
    tree_.replace(std::move(objects));
    bluezRunning_ = true;
    chooseAdapter();
    for (const std::string& path : tree_.pathsWith(kDeviceInterface)) {
        if (!isChildPath(path, adapterPath_)) continue;
        const Properties* properties = tree_.find(path, kDeviceInterface);
        deviceSeen(path, *properties, false);
        if (propertyOf<bool>(properties, "Connected").value_or(false))
            log("BlueZ: " + deviceAt(path)->name().value_or(path) +
                " is still connected from before; it is offered to the next scan");
    }
    updateState();
}

void BluezCentral::onNameOwnerChanged(sdbus::Message& signal) {
    std::string name, oldOwner, newOwner;
    signal >> name >> oldOwner >> newOwner;
    if (name != kBluezService) return;
    if (!oldOwner.empty()) bluezGone("bluetoothd stopped");
    if (!newOwner.empty()) {
        log("BlueZ: bluetoothd started; reading its objects");
        readTree();
    }
}

void BluezCentral::bluezGone(const std::string& why) {
    ++treeGeneration_;
    endAllLinks(why);
    tree_.clear();
    bluezRunning_ = false;
    discoveryOn_ = false;
    discoveryCallPending_ = false;
    chooseAdapter();
    updateState();
}

void BluezCentral::onInterfacesAdded(sdbus::Message& signal) {
    sdbus::ObjectPath path;
    Interfaces interfaces;
    signal >> path >> interfaces;
    const bool adapter = interfaces.contains(kAdapterInterface);
    const auto device = interfaces.find(kDeviceInterface);
    const std::optional<Properties> deviceProperties =
        device == interfaces.end() ? std::nullopt : std::optional<Properties>(device->second);
    tree_.addInterfaces(path, std::move(interfaces));
    if (adapter) {
        chooseAdapter();
        updateState();
    }
    if (deviceProperties && isChildPath(path, adapterPath_)) deviceSeen(path, *deviceProperties, true);
}

void BluezCentral::onInterfacesRemoved(sdbus::Message& signal) {
    sdbus::ObjectPath path;
    std::vector<std::string> interfaces;
    signal >> path >> interfaces;
    tree_.removeInterfaces(path, interfaces);
    for (const std::string& interface : interfaces) {
        if (interface == kAdapterInterface && path == adapterPath_) {
            log("BlueZ: adapter " + adapterPath_ + " was removed");
            endAllLinks("the Bluetooth adapter was removed");
            chooseAdapter();
            updateState();
        }
        if (interface == kDeviceInterface && isChildPath(path, adapterPath_)) {
            const auto device = devices_.find(lastElement(path));
            if (device != devices_.end() && device->second->state() != PeripheralState::disconnected)
                endLink(device->second, BleError{"BlueZ removed the device"});
        }
    }
}

void BluezCentral::onPropertiesChanged(sdbus::Message& signal) {
    const std::string path = signal.getPath();
    std::string interface;
    Properties changed;
    std::vector<std::string> invalidated;
    signal >> interface >> changed >> invalidated;
    if (!tree_.changeProperties(path, interface, changed, invalidated)) return;
    if (interface == kAdapterInterface) {
        if (path == adapterPath_ && changed.contains("Powered")) updateState();
        return;
    }
    if (adapterPath_.empty() || !isBelowPath(path, adapterPath_)) return;
    const std::string rest = path.substr(adapterPath_.size() + 1);
    const auto device = devices_.find(rest.substr(0, rest.find('/')));
    if (interface == kDeviceInterface && isChildPath(path, adapterPath_)) {
        deviceSeen(path, changed, false);
        if (const auto connected = propertyOf<bool>(&changed, "Connected"))
            deviceConnectedChanged(deviceAt(path), *connected);
    }
    if (device != devices_.end()) device->second->propertiesChanged(path, interface, changed);
}

void BluezCentral::chooseAdapter() {
    const std::vector<std::string> adapters = tree_.pathsWith(kAdapterInterface);
    std::string chosen;
    for (const std::string& path : adapters)
        if (path == kPreferredAdapterPath) chosen = path;
    if (chosen.empty() && !adapters.empty()) chosen = adapters.front();
    if (chosen == adapterPath_) return;
    if (!adapterPath_.empty()) endAllLinks("the Bluetooth adapter changed");
    adapterPath_ = chosen;
    discoveryOn_ = false;
    if (chosen.empty()) {
        if (bluezRunning_) log("BlueZ: no Bluetooth adapter");
        return;
    }
    const auto address = propertyOf<std::string>(tree_.find(chosen, kAdapterInterface), "Address");
    log("BlueZ: using adapter " + chosen + " (" + address.value_or("no address") + ")");
}

void BluezCentral::updateState() {
    CentralState wanted = CentralState::unknown;
    if (bluezRunning_ && adapterPath_.empty()) wanted = CentralState::unsupported;
    if (bluezRunning_ && !adapterPath_.empty()) {
        const bool powered = propertyOf<bool>(tree_.find(adapterPath_, kAdapterInterface), "Powered").value_or(false);
        wanted = powered ? CentralState::poweredOn : CentralState::poweredOff;
    }
    if (wanted == state()) return;
    if (state() == CentralState::poweredOn) {
        endAllLinks(wanted == CentralState::poweredOff ? "Bluetooth was powered off" : "Bluetooth went away");
        ++scanGeneration_;
        scanWanted_.store(false);
        discoveryOn_ = false;
    }
    reportState(wanted);
    if (wanted == CentralState::poweredOn) reconcileDiscovery();
}

void BluezCentral::endAllLinks(const std::string& why) {
    for (const auto& [key, device] : devices_)
        if (device->state() != PeripheralState::disconnected) endLink(device, BleError{why});
}

}  // namespace ble::bluez
