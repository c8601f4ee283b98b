// The BLE manager's connection callbacks and the classification of a printer's GATT
// characteristics, kept per connected printer.
#include "quorvel/BLEPrinterManager.h"

#include "quorvel/Logger.h"
#include "quorvel/PrinterQueueTracker.h"

#include <algorithm>

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
    PrinterLink link;
    link.peripheral = peripheral;
    links_.push_back(std::move(link));
    return links_.back();
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
    }
    if (queueTracker_) queueTracker_->setPrinterOnline(name);
    std::lock_guard lock(mutex_);
    stopScanLocked();
    peripheral->setDelegate(weak_from_this());
    peripheral->discoverServices({*ble::Uuid::parse(kPrinterServiceUuid)});
    ensureLink(peripheral);
}

void BLEPrinterManager::didFailToConnect(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral,
                                         const std::optional<ble::BleError>& error) {
    (void)central;
    const std::optional<std::string> name = peripheral ? peripheral->name() : std::nullopt;
    if (!name) return;
    if (queueTracker_) queueTracker_->setPrinterOffline(*name);
    printLine("Failed to connect to peripheral: " + *name + ", error: " + describe(error));
}

void BLEPrinterManager::didDisconnect(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral,
                                      const std::optional<ble::BleError>& error) {
    (void)central;
    const std::optional<std::string> name = peripheral ? peripheral->name() : std::nullopt;
    printLine("Disconnected from peripheral: " + name.value_or("Unknown") + ", error: " + describe(error));
    bool jobLost = false;
    {
        std::lock_guard lock(mutex_);
        // Credits and characteristics are the ended link's: a reconnected printer grants and
        // declares them afresh.
        std::erase_if(links_, [&](const PrinterLink& link) { return link.peripheral == peripheral; });
        jobLost = abandonTransferCutShort(peripheral, name.value_or("Unknown"));
        if (name) {
            connectedDevices_.erase(*name);
            printerPeripheral_.reset();
        }
    }
    if (jobLost) finishSending(SendOutcome::linkLost);
    if (name && queueTracker_) queueTracker_->setPrinterOffline(*name);
}

bool BLEPrinterManager::abandonTransferCutShort(const std::shared_ptr<ble::Peripheral>& peripheral,
                                                const std::string& name) {
    // A job waiting for this printer, none of it written yet, stays pending and goes out on
    // the next link. Once chunks have gone out the job cannot be finished soundly: writes
    // without response are never acknowledged, so those still in flight when the link fell
    // are lost, and resuming at the offset would print a corrupted label reported as printed.
    if (!transfer_.pendingData || transfer_.target != peripheral || transfer_.sendDataOffset == 0) return false;
    log("Link to " + name + " lost mid-job after " + std::to_string(transfer_.sendDataOffset) + "/" +
        std::to_string(transfer_.pendingData->size()) + " bytes: job abandoned");
    endTransfer();
    return true;
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
    bool jobCannotBeSent = false;
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
            }
            if (properties.has(ble::CharacteristicProperty::writeWithoutResponse)) {
                link.writeWithoutRspCht = characteristic;
                log("FF00 without response characteristics found ");
            }
        }
        link.classified = true;
        dataCharacteristic = link.writeWithoutRspCht;
        hook = characteristicFoundCallback_;
        // A job that waited for this printer's link can never go out on it.
        if (!dataCharacteristic && transfer_.pendingData && transfer_.target == peripheral) {
            endTransfer();
            jobCannotBeSent = true;
        }
    }
    if (jobCannotBeSent) finishSending(SendOutcome::noDataCharacteristic);
    if (hook) hook(dataCharacteristic, peripheral->name());
}

}  // namespace quorvel
