// The BLE manager's connection callbacks and the classification of a printer's GATT
// characteristics, kept per connected printer.
#include "quorvel/BLEPrinterManager.h"

#include "quorvel/Logger.h"
#include "quorvel/PrinterQueueTracker.h"

#include <algorithm>
#include <utility>

namespace quorvel {

namespace {

std::string describe(const std::optional<ble::BleError>& error) {
    return error ? error->description : std::string("Unknown error");
}

}  // namespace

BLEPrinterManager::PrinterLink* BLEPrinterManager::linkOf(const std::shared_ptr<ble::Peripheral>& peripheral) {
    for (PrinterLink& link : links_)
        if (link.peripheral == peripheral) return &link;
    return nullptr;
}

const BLEPrinterManager::PrinterLink* BLEPrinterManager::linkOf(
    const std::shared_ptr<ble::Peripheral>& peripheral) const {
    for (const PrinterLink& link : links_)
        if (link.peripheral == peripheral) return &link;
    return nullptr;
}

BLEPrinterManager::PrinterLink& BLEPrinterManager::ensureLink(const std::shared_ptr<ble::Peripheral>& peripheral) {
    if (PrinterLink* link = linkOf(peripheral)) return *link;
    PrinterLink& link = links_.emplace_back();
    link.peripheral = peripheral;
    link.name = peripheral->name().value_or("");
    // A printer reports its MTU when its notifications go on; until then, the one it gave last.
    const auto known = mtuByPrinter_.find(link.name);
    link.transfer.setMtu(known != mtuByPrinter_.end() ? known->second : mtu_);
    return link;
}

void BLEPrinterManager::didConnect(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral) {
    (void)central;
    if (!peripheral) return;
    const std::optional<std::string> name = peripheral->name();
    {
        std::lock_guard lock(mutex_);
        log(name ? "Connected to " + *name : std::string("Connected to unknown device"));
        printerPeripheral_ = peripheral;
        // Recorded before the queue is set online: that runs CUPS tools for a while, and a
        // queue-list pass asking meanwhile to connect this printer must find it connected
        // rather than drop the link to connect it again. A printer without a name cannot be
        // looked up by name later; its link still works through printerPeripheral.
        if (name) {
            deviceName_ = name;
            connectedDevices_[*name] = peripheral;
        }
        std::erase(connecting_, peripheral);
        ensureLink(peripheral);
    }
    if (queueTracker_) queueTracker_->setPrinterOnline(name);
    bool wasScanning = false;
    {
        std::lock_guard lock(mutex_);
        wasScanning = isScanning_ || std::exchange(scanPausedForConnection_, false);
        stopScanLocked();
        peripheral->setDelegate(weak_from_this());
        peripheral->discoverServices({*ble::Uuid::parse(kPrinterServiceUuid)});
    }
    // The scan stopped for the connection; other printers with a queue still need it, and one
    // round of advertisements may have been cut short by this connection.
    if (wasScanning && queueTracker_ && queueTracker_->waitsForPrinters()) resumeScan();
}

void BLEPrinterManager::resumeScan() {
    std::lock_guard lock(mutex_);
    if (isScanning_ || !centralManager_ || centralManager_->state() != ble::CentralState::poweredOn) return;
    centralManager_->scanForPeripherals();
    isScanning_ = true;
    log("Scan resumed: printers with a queue are not connected yet");
}

void BLEPrinterManager::didFailToConnect(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral,
                                         const std::optional<ble::BleError>& error) {
    (void)central;
    const std::optional<std::string> name = peripheral ? peripheral->name() : std::nullopt;
    {
        std::lock_guard lock(mutex_);
        std::erase(connecting_, peripheral);
    }
    if (!name) return;
    if (queueTracker_) queueTracker_->setPrinterOffline(*name);
    printLine("Failed to connect to peripheral: " + *name + ", error: " + describe(error));
}

void BLEPrinterManager::didDisconnect(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral,
                                      const std::optional<ble::BleError>& error) {
    (void)central;
    const std::optional<std::string> name = peripheral ? peripheral->name() : std::nullopt;
    printLine("Disconnected from peripheral: " + name.value_or("Unknown") + ", error: " + describe(error));
    JobEnds ends;
    {
        std::lock_guard lock(mutex_);
        std::erase(connecting_, peripheral);
        // Credits and characteristics are the ended link's: a reconnected printer grants and
        // declares them afresh. What its job in hand leaves the printer needing is kept.
        if (PrinterLink* link = linkOf(peripheral)) abandonTransfer(*link, "link lost", ends);
        std::erase_if(links_, [&](const PrinterLink& link) { return link.peripheral == peripheral; });
        if (name) {
            connectedDevices_.erase(*name);
            printerPeripheral_.reset();
        }
    }
    reportJobEnds(std::move(ends));
    if (name && queueTracker_) queueTracker_->setPrinterOffline(*name);
}

void BLEPrinterManager::didDiscoverServices(const std::shared_ptr<ble::Peripheral>& peripheral,
                                            const std::optional<ble::BleError>& error) {
    (void)error;
    if (!peripheral) return;
    const auto services = peripheral->services();
    if (services && !services->empty()) {
        for (const auto& service : *services) {
            log("peripheral services " + service->uuid().text());
            peripheral->discoverCharacteristics(service);
        }
        return;
    }
    // Without the printer service there will be no characteristics callback: the link is
    // settled now, with nothing to write to.
    settleLink(peripheral, nullptr);
}

void BLEPrinterManager::didDiscoverCharacteristics(const std::shared_ptr<ble::Peripheral>& peripheral,
                                                   const std::shared_ptr<ble::Service>& service,
                                                   const std::optional<ble::BleError>& error) {
    if (error) {
        log("Error discovering characteristics: " + error->description);
        return;
    }
    if (!peripheral || !service) return;
    if (!service->characteristics()) {
        log("No characteristics found");
        return;
    }
    settleLink(peripheral, service);
}

void BLEPrinterManager::settleLink(const std::shared_ptr<ble::Peripheral>& peripheral,
                                   const std::shared_ptr<ble::Service>& service) {
    std::shared_ptr<ble::Characteristic> dataCharacteristic;
    CharacteristicFoundCallback hook;
    JobEnds ends;
    {
        std::lock_guard lock(mutex_);
        // A late answer for a link that has already ended would bring back its state.
        if (peripheral->state() != ble::PeripheralState::connected) return;
        PrinterLink& link = ensureLink(peripheral);
        const auto characteristics = service ? service->characteristics() : std::nullopt;
        for (const auto& characteristic : characteristics.value_or(ble::Service::Characteristics{})) {
            log("uuid " + service->uuid().text());
            const ble::CharacteristicProperties properties = characteristic->properties();
            if (properties.has(ble::CharacteristicProperty::write)) {
                link.writeCht = characteristic;
                log("FF00 with response characteristics found");
            }
            if (properties.has(ble::CharacteristicProperty::read)) peripheral->readValue(characteristic);
            if (properties.has(ble::CharacteristicProperty::notify)) {
                link.creditCharacteristic = characteristic;
                peripheral->setNotifyValue(true, characteristic);
                link.notifying.push_back(characteristic);
            }
            if (properties.has(ble::CharacteristicProperty::writeWithoutResponse)) {
                link.writeWithoutRspCht = characteristic;
                log("FF00 without response characteristics found ");
            }
        }
        link.classified = true;
        // Writes longer than this are dropped by the radio without a word, so no chunk is.
        link.transfer.setMaximumWriteLength(peripheral->maximumWriteValueLength(ble::WriteType::withoutResponse));
        dataCharacteristic = link.writeWithoutRspCht;
        hook = characteristicFoundCallback_;
        startOwedCompletion(link);
        sendWhileCreditsLast(link, ends);
    }
    releaseHeldBack(peripheral);
    reportJobEnds(std::move(ends));
    if (hook) hook(dataCharacteristic, peripheral->name());
}

}  // namespace quorvel
