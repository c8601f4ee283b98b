// Adapter power, discovery sessions and device removal.
#include "ble/bluez/fake/FakeAdapter.h"

#include "ble/bluez/fake/BluezNames.h"
#include "ble/bluez/fake/BluezText.h"

#include <algorithm>

namespace ble::bluez::fake {

namespace {

constexpr const char* kAdapterAddress = "00:1B:7C:00:00:01";
constexpr const char* kAdapterName = "quorvel-test";
constexpr std::int16_t kRssi = -50;
constexpr std::int16_t kRssiStep = -2;  // every other round, so that each advertisement changes RSSI

// What SetDiscoveryFilter accepts, with the type of each entry.
const std::map<std::string, std::string>& filterEntries() {
    static const std::map<std::string, std::string> entries{
        {"UUIDs", "as"},  {"RSSI", "n"},         {"Pathloss", "q"}, {"Transport", "s"},
        {"DuplicateData", "b"}, {"Discoverable", "b"}, {"Pattern", "s"},
    };
    return entries;
}

}  // namespace

FakeAdapter::FakeAdapter(asio::io_context& io, const FakeBluezOptions& options, LogFunction log)
    : io_(io), options_(options), log_(std::move(log)), advertisingTimer_(io) {
    std::set<std::string> folders, addresses;
    for (const std::string& name : options_.radio.simPrinters) {
        if (std::any_of(devices_.begin(), devices_.end(), [&](const auto& d) { return d->name() == name; })) {
            log("printer \"" + name + "\" is named twice; one device serves it");
            continue;
        }
        std::unique_ptr<sim::PrinterOutput> output;
        if (!options_.radio.simOutput.empty()) {
            // Two names that differ only in unsafe bytes must not share a folder.
            std::string folder = sim::folderNameForPrinter(name);
            for (int suffix = 2; !folders.insert(folder).second; ++suffix)
                folder = sim::folderNameForPrinter(name) + "-" + std::to_string(suffix);
            output = std::make_unique<sim::PrinterOutput>(options_.radio.simOutput / folder, log_);
        }
        std::string address = addressForName(name);
        for (unsigned salt = 1; !addresses.insert(address).second; ++salt) address = addressForName(name, salt);
        devices_.push_back(std::make_shared<FakeDevice>(io_, options_, name, address, std::move(output), log_, *this));
    }
}

FakeAdapter::~FakeAdapter() { detach(); }

PropertyMap FakeAdapter::properties() const {
    return {
        {"Address", std::string(kAdapterAddress)},
        {"AddressType", std::string("public")},
        {"Name", std::string(kAdapterName)},
        {"Alias", std::string(kAdapterName)},
        {"Class", std::uint32_t{0}},
        {"Powered", powered_},
        {"Discoverable", false},
        {"Pairable", false},
        {"Discovering", discovering()},
        {"UUIDs", std::vector<std::string>{}},
    };
}

// A service that (re)starts powers its adapter on, as the real one does by default.
void FakeAdapter::attach(const BusContext& bus) {
    bus_ = &bus;
    powered_ = true;
    object_ = sdbus::createObject(bus.connection, kAdapterPath);
    registerProperties(*object_, kAdapterInterface, [this] { return properties(); },
                       {{"Powered", [this](bool on) { setPowered(on); }}});
    const char* interface = kAdapterInterface;
    object_->registerMethod("StartDiscovery").onInterface(interface).implementedAs([this] { startDiscovery(); });
    object_->registerMethod("StopDiscovery").onInterface(interface).implementedAs([this] { stopDiscovery(); });
    object_->registerMethod("SetDiscoveryFilter").onInterface(interface).withInputParamNames("filter")
        .implementedAs([this](const std::map<std::string, sdbus::Variant>& filter) { setDiscoveryFilter(filter); });
    object_->registerMethod("GetDiscoveryFilters").onInterface(interface).withOutputParamNames("filters")
        .implementedAs([] {
            std::vector<std::string> names;
            for (const auto& [name, type] : filterEntries()) names.push_back(name);
            return names;
        });
    object_->registerMethod("RemoveDevice").onInterface(interface).withInputParamNames("device")
        .implementedAs([this](const sdbus::ObjectPath& path) { removeDevice(path); });
    object_->finishRegistration();
    for (const auto& device : devices_) device->attach(bus);
}

void FakeAdapter::detach() {
    discoveryClients_.clear();
    advertisingTimer_.cancel();
    for (const auto& device : devices_) device->detach();
    object_.reset();
    bus_ = nullptr;
}

std::string FakeAdapter::sender() const {
    const auto* message = object_->getCurrentlyProcessedMessage();
    return message ? message->getSender() : std::string{};
}

void FakeAdapter::changed(const PropertyMap& properties) {
    if (object_) emitPropertiesChanged(*object_, kAdapterInterface, properties);
}

// Powering off ends every link and discovery before the adapter reports itself off.
void FakeAdapter::setPowered(bool on) {
    if (on == powered_ || !bus_) return;
    if (!on) {
        if (discovering()) endDiscovery();
        for (const auto& device : devices_) device->powerOff();
    }
    powered_ = on;
    changed({{"Powered", on}});
    log(on ? "powered on" : "powered off");
    bus_->wake();
}

void FakeAdapter::startDiscovery() {
    if (!powered_) throw notReadyError();
    const bool wasDiscovering = discovering();
    if (!discoveryClients_.insert(sender()).second) throw inProgressError();
    if (wasDiscovering) return;
    changed({{"Discovering", true}});
    // The first advertisements come after the reply.
    advertisingTimer_.expires_after(std::chrono::milliseconds(0));
    advertisingTimer_.async_wait([this](const std::error_code& error) {
        if (!error) advertiseRound();
    });
}

void FakeAdapter::stopDiscovery() {
    if (!powered_) throw notReadyError();
    if (discoveryClients_.erase(sender()) == 0) throw failedError("No discovery started");
    if (!discovering()) endDiscovery();
}

void FakeAdapter::endDiscovery() {
    discoveryClients_.clear();
    advertisingTimer_.cancel();
    changed({{"Discovering", false}});
    for (const auto& device : devices_) device->discoveryEnded();
}

void FakeAdapter::advertiseRound() {
    if (!discovering() || !powered_ || !bus_) return;
    const std::int16_t rssi = static_cast<std::int16_t>(kRssi + (rounds_++ % 2) * kRssiStep);
    for (const auto& device : devices_)
        if (device->advertising()) device->advertise(rssi);
    bus_->wake();
    advertisingTimer_.expires_after(options_.advertisingInterval);
    advertisingTimer_.async_wait([this](const std::error_code& error) {
        if (!error) advertiseRound();
    });
}

void FakeAdapter::setDiscoveryFilter(const std::map<std::string, sdbus::Variant>& filter) {
    for (const auto& [name, value] : filter) {
        const auto known = filterEntries().find(name);
        if (known == filterEntries().end() || value.peekValueType() != known->second) throw invalidArgumentsError();
    }
    if (const auto transport = filter.find("Transport"); transport != filter.end()) {
        const auto text = transport->second.get<std::string>();
        if (text != "auto" && text != "le" && text != "bredr") throw invalidArgumentsError();
    }
}

void FakeAdapter::removeDevice(const sdbus::ObjectPath& path) {
    for (const auto& device : devices_) {
        if (device->known() && device->path() == path) {
            device->remove();
            return;
        }
    }
    throw doesNotExistError();
}

void FakeAdapter::clientLeft(const std::string& busName) {
    if (discoveryClients_.erase(busName) != 0 && !discovering()) {
        log("the last discovering client left the bus; discovery stops");
        endDiscovery();
    }
    for (const auto& device : devices_) device->clientLeft(busName);
    if (bus_) bus_->wake();
}

std::shared_ptr<FakeDevice> FakeAdapter::device(const std::string& name) const {
    for (const auto& device : devices_)
        if (device->name() == name) return device;
    return nullptr;
}

void FakeAdapter::log(const std::string& line) const {
    if (log_) log_("fake bluez: adapter: " + line);
}

}  // namespace ble::bluez::fake
