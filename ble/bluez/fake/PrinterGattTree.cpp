// Services and characteristics of a connected printer, numbered the way attribute handles
// run: a characteristic takes its declaration and value handles, and one more when it notifies.
#include "ble/bluez/fake/PrinterGattTree.h"

#include "ble/bluez/fake/BluezNames.h"
#include "ble/bluez/fake/BluezText.h"
#include "ble/bluez/fake/ExportedProperties.h"
#include "ble/sim/VirtualPrinter.h"

#include <cstdio>

namespace ble::bluez::fake {

namespace {

constexpr std::uint16_t kDecoyServiceHandle = 0x0006;
constexpr std::uint64_t kDecoyWritesLogged = 3;

std::string handleName(const char* kind, std::uint16_t handle) {
    char text[16];
    std::snprintf(text, sizeof text, "%s%04x", kind, handle);
    return text;
}

std::uint16_t handlesTaken(CharacteristicProperties properties) {
    return properties.has(CharacteristicProperty::notify) ? 3 : 2;
}

}  // namespace

PrinterGattTree::PrinterGattTree(const BusContext& bus, const std::string& devicePath, std::uint16_t attMtu,
                                 PrinterGattEvents events, bool creditNotifyingAlready)
    : bus_(bus) {
    using P = CharacteristicProperty;
    std::uint16_t handle = kDecoyServiceHandle;
    auto* service = &addService(devicePath, handle, Uuid::from16(0xFFF0));
    const std::vector<sim::PrinterGatt::CharacteristicLayout> decoyLayout{
        {Uuid::from16(0xFFF1), CharacteristicProperties{P::notify}},
        {Uuid::from16(0xFFF2), CharacteristicProperties{P::writeWithoutResponse}},
    };
    for (const auto& layout : decoyLayout) {
        CharacteristicHandlers handlers{.read = {}, .write = [this](const Bytes& value, bool) { return decoyWritten(value); },
                                        .notifyingChanged = {}};
        service->characteristics.push_back(std::make_unique<FakeCharacteristic>(
            bus_, service->path + "/" + handleName("char", handle + 1), service->path, layout.uuid, layout.properties,
            attMtu, std::move(handlers), false));
        handle += handlesTaken(layout.properties);
    }

    service = &addService(devicePath, ++handle, sim::PrinterGatt::service());
    for (const auto& layout : sim::PrinterGatt::characteristics()) {
        const Uuid uuid = layout.uuid;
        CharacteristicHandlers handlers{
            .read = [read = events.read, uuid] { return read ? read(uuid) : std::nullopt; },
            .write = [write = events.write, uuid](const Bytes& value, bool withResponse) {
                return !write || write(uuid, value, withResponse);
            },
            .notifyingChanged = [changed = events.notifyingChanged, uuid](bool on) {
                if (changed) changed(uuid, on);
            }};
        service->characteristics.push_back(std::make_unique<FakeCharacteristic>(
            bus_, service->path + "/" + handleName("char", handle + 1), service->path, uuid, layout.properties, attMtu,
            std::move(handlers), creditNotifyingAlready && uuid == sim::PrinterGatt::credit()));
        handle += handlesTaken(layout.properties);
    }
}

PrinterGattTree::~PrinterGattTree() = default;

PrinterGattTree::ExportedService& PrinterGattTree::addService(const std::string& devicePath, std::uint16_t handle,
                                                              const Uuid& uuid) {
    ExportedService service{devicePath + "/" + handleName("service", handle),
                            {
                                {"UUID", bluezUuidText(uuid)},
                                {"Primary", true},
                                {"Device", sdbus::ObjectPath(devicePath)},
                                {"Includes", std::vector<sdbus::ObjectPath>{}},
                            },
                            nullptr,
                            {}};
    service.object = sdbus::createObject(bus_.connection, service.path);
    registerProperties(*service.object, kGattServiceInterface, [properties = service.properties] { return properties; });
    service.object->finishRegistration();
    services_.push_back(std::move(service));
    return services_.back();
}

void PrinterGattTree::announce() {
    for (const auto& service : services_) {
        emitInterfacesAdded(bus_.manager, service.path, {{kGattServiceInterface, service.properties}});
        for (const auto& characteristic : service.characteristics) characteristic->announce();
    }
}

void PrinterGattTree::withdraw() {
    for (auto service = services_.rbegin(); service != services_.rend(); ++service) {
        for (auto c = service->characteristics.rbegin(); c != service->characteristics.rend(); ++c) (*c)->withdraw();
        emitInterfacesRemoved(bus_.manager, service->path, {kGattServiceInterface});
    }
}

void PrinterGattTree::notify(const Uuid& characteristic, const Bytes& value) {
    for (const auto& c : services_.back().characteristics)
        if (c->uuid() == characteristic) c->notify(value);
}

void PrinterGattTree::clientLeft(const std::string& busName) {
    for (const auto& service : services_)
        for (const auto& c : service.characteristics) c->clientLeft(busName);
}

// The printer never sees these bytes: a central that writes here loses them.
bool PrinterGattTree::decoyWritten(const Bytes& value) {
    if (++decoyWrites_ <= kDecoyWritesLogged)
        bus_.say("fake bluez: " + std::to_string(value.size()) + " bytes written to the vendor service's characteristic, not the printer's" +
                 (decoyWrites_ == kDecoyWritesLogged ? " (further such writes are not logged)" : ""));
    return true;
}

}  // namespace ble::bluez::fake
