// The BLE manager's handling of the printer's reports: credit and MTU grants resume the
// transfer, status and error reports go to errorComplete.
#include "quorvel/BLEPrinterManager.h"

#include "quorvel/Logger.h"

#include <algorithm>

namespace quorvel {

void BLEPrinterManager::didUpdateValue(const std::shared_ptr<ble::Peripheral>& peripheral,
                                       const std::shared_ptr<ble::Characteristic>& characteristic,
                                       const std::optional<ble::BleError>& error) {
    if (error) {
        log("Printer receive data error: " + error->description);
        return;
    }
    std::optional<ble::Bytes> value = characteristic ? characteristic->value() : std::nullopt;
    if (!value) {
        log("Received empty data");
        return;
    }
    if (holdBack(peripheral, characteristic, *value)) return;
    // The print queue is a member, stopped before the rest of the manager goes, so `this`
    // outlives every item posted to it.
    queue_.post([this, peripheral, characteristic, value = std::move(*value)] {
        didReceiveData(peripheral, value, characteristic);
    });
}

void BLEPrinterManager::didWriteValue(const std::shared_ptr<ble::Peripheral>& peripheral,
                                      const std::shared_ptr<ble::Characteristic>& characteristic,
                                      const std::optional<ble::BleError>& error) {
    (void)peripheral, (void)characteristic;
    if (error) log("Error writing value to characteristic: " + error->description);
}

void BLEPrinterManager::didReceiveData(const std::shared_ptr<ble::Peripheral>& peripheral, const ble::Bytes& value,
                                       const std::shared_ptr<ble::Characteristic>& characteristic) {
    if (!characteristic) return;
    bool fromCreditCharacteristic = false;
    {
        std::lock_guard lock(mutex_);
        const PrinterLink* link = linkOf(peripheral);
        fromCreditCharacteristic = link && link->creditCharacteristic == characteristic;
    }
    if (fromCreditCharacteristic && applyCreditOrMtu(peripheral, value, "creditCharacteristic: ")) return;
    if (characteristic->uuid().text() == kCreditCharacteristicUuid) {
        // Anything else on the credit characteristic is not ours to decode.
        applyCreditOrMtu(peripheral, value, "FF03 ");
        return;
    }
    if (isErrorReport(value)) {
        log("PRINTER REPORT ERROR!!!");
        reportPrinterError(deviceDataError());
        return;
    }
    if (const std::optional<int> statusCode = statusCodeWith(value)) {
        log("PRINTER REPORT SUCCESS Status " + std::to_string(*statusCode));
        reportPrinterError(printFailedError(*statusCode));
    }
}

bool BLEPrinterManager::holdBack(const std::shared_ptr<ble::Peripheral>& peripheral,
                                 const std::shared_ptr<ble::Characteristic>& characteristic, const ble::Bytes& value) {
    // A radio may turn a printer's notifications back on by itself when it reconnects, so the
    // printer grants credits before we asked for them. Counted at once they would be counted
    // again when we turn notifications on; dropped, the printer would wait for writes that
    // never come. So they wait until we have turned that characteristic's notifications on.
    if (!characteristic || !characteristic->properties().has(ble::CharacteristicProperty::notify)) return false;
    std::lock_guard lock(mutex_);
    PrinterLink* link = linkOf(peripheral);
    // A value may even come before the connected callback: the link it belongs to is made now.
    if (!link && peripheral && peripheral->state() == ble::PeripheralState::connected) link = &ensureLink(peripheral);
    if (!link || std::find(link->notifying.begin(), link->notifying.end(), characteristic) != link->notifying.end())
        return false;
    if (link->heldBack.size() >= kMaxHeldBackValues) {
        log("Notification from " + link->name + " dropped: " + std::to_string(kMaxHeldBackValues) +
            " wait for their notifications to be turned on");
        link->heldBack.pop_front();
    }
    link->heldBack.emplace_back(characteristic, value);
    return true;
}

void BLEPrinterManager::releaseHeldBack(const std::shared_ptr<ble::Peripheral>& peripheral) {
    std::lock_guard lock(mutex_);
    PrinterLink* link = linkOf(peripheral);
    if (!link) return;
    std::deque<std::pair<std::shared_ptr<ble::Characteristic>, ble::Bytes>> kept;
    for (auto& held : link->heldBack) {
        std::shared_ptr<ble::Characteristic> characteristic = held.first;
        if (std::find(link->notifying.begin(), link->notifying.end(), characteristic) == link->notifying.end()) {
            kept.push_back(std::move(held));
            continue;
        }
        queue_.post([this, peripheral, characteristic, value = std::move(held.second)] {
            didReceiveData(peripheral, value, characteristic);
        });
    }
    link->heldBack = std::move(kept);
}

bool BLEPrinterManager::applyCreditOrMtu(const std::shared_ptr<ble::Peripheral>& peripheral, const ble::Bytes& value,
                                         std::string_view creditPrefix) {
    if (const int granted = creditWith(value); granted >= 1) {
        {
            std::lock_guard lock(mutex_);
            PrinterLink* link = linkOf(peripheral);
            if (!link) {
                // Decoded after the link ended: the credits died with it.
                log("Credit report from a printer no longer connected ignored");
                return true;
            }
            link->transfer.grant(granted, LinkTransfer::Clock::now());
            log(std::string(creditPrefix) + "Printer update credit [" + std::to_string(link->transfer.credit()) + "]");
        }
        queue_.post([this] { continueSendingData(); });
        return true;
    }
    if (const int reported = mtuWith(value); reported >= 1) {
        bool hasCredit = false;
        {
            std::lock_guard lock(mutex_);
            mtu_ = reported;
            log("Printer update mtu [" + std::to_string(mtu_) + "]");
            PrinterLink* link = linkOf(peripheral);
            if (link) {
                link->transfer.setMtu(reported);
                if (!link->name.empty()) mtuByPrinter_[link->name] = reported;
            }
            hasCredit = link && link->transfer.credit() >= 1;
        }
        if (hasCredit) {
            asio::post(mainQueue_, [weak = weak_from_this()] {
                if (auto manager = weak.lock()) manager->continueSendingData();
            });
        }
        return true;
    }
    return false;
}

void BLEPrinterManager::reportPrinterError(const PrinterError& error) {
    ErrorCallback callback;
    {
        std::lock_guard lock(mutex_);
        callback = errorComplete_;
    }
    if (callback) callback(error);
}

}  // namespace quorvel
