// The BLE manager's handling of the printer's reports: credit and MTU grants resume the
// transfer, status and error reports go to errorComplete.
#include "quorvel/BLEPrinterManager.h"

#include "quorvel/Logger.h"

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
            link->credit += granted;
            log(std::string(creditPrefix) + "Printer update credit [" + std::to_string(link->credit) + "]");
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
            const PrinterLink* link = linkOf(peripheral);
            hasCredit = link && link->credit >= 1;
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
