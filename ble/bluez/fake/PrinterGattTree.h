// The GATT objects of a connected printer, under its device: a vendor service first (a
// decoy with a write-without-response and a notifying characteristic of its own, as real
// printers have), then the printer's service with the characteristics of PrinterGatt.
#pragma once

#include "ble/BleTypes.h"
#include "ble/Uuid.h"
#include "ble/bluez/fake/BusContext.h"
#include "ble/bluez/fake/ExportedProperties.h"
#include "ble/bluez/fake/FakeCharacteristic.h"

#include <sdbus-c++/IObject.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ble::bluez::fake {

// What the printer's own characteristics ask of it; the decoy's are answered here.
struct PrinterGattEvents {
    std::function<std::optional<Bytes>(const Uuid& characteristic)> read;
    std::function<bool(const Uuid& characteristic, const Bytes& value, bool withResponse)> write;
    std::function<void(const Uuid& characteristic, bool notifying)> notifyingChanged;
};

class PrinterGattTree {
public:
    // `creditNotifyingAlready`: FF03 comes with its notifications on.
    PrinterGattTree(const BusContext& bus, const std::string& devicePath, std::uint16_t attMtu, PrinterGattEvents events,
                    bool creditNotifyingAlready);
    ~PrinterGattTree();
    PrinterGattTree(const PrinterGattTree&) = delete;
    PrinterGattTree& operator=(const PrinterGattTree&) = delete;

    void announce();  // InterfacesAdded, services before their characteristics
    void withdraw();  // InterfacesRemoved, characteristics first
    // A notification on one of the printer service's characteristics.
    void notify(const Uuid& characteristic, const Bytes& value);
    void clientLeft(const std::string& busName);

private:
    struct ExportedService {
        std::string path;
        PropertyMap properties;
        std::unique_ptr<sdbus::IObject> object;
        std::vector<std::unique_ptr<FakeCharacteristic>> characteristics;
    };
    ExportedService& addService(const std::string& devicePath, std::uint16_t handle, const Uuid& uuid);
    bool decoyWritten(const Bytes& value);

    const BusContext& bus_;
    std::vector<ExportedService> services_;  // the printer's is the last
    std::uint64_t decoyWrites_ = 0;
};

}  // namespace ble::bluez::fake
