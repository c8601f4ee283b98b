// The BLE manager's job transfer: chunks of mtu bytes written without response, one per
// credit the printer has granted.
#include "quorvel/BLEPrinterManager.h"

#include "common/Channel.h"
#include "quorvel/Logger.h"
#include "quorvel/ReplyChannel.h"

#include <algorithm>
#include <charconv>

namespace quorvel {

void BLEPrinterManager::sendPrintData(const std::optional<std::string>& name, ble::Bytes data) {
    SendOutcome outcome = SendOutcome::idle;
    {
        std::lock_guard lock(mutex_);
        std::shared_ptr<ble::Peripheral> target = name ? connectedPeripheral(*name) : printerPeripheral_;
        if (!target) {
            log("特征或打印机未找到，并初始化");
            return;
        }
        printerPeripheral_ = target;
        const auto longestWrite = target->maximumWriteValueLength(ble::WriteType::withResponse);
        chunkSize_ = static_cast<int>(std::max<std::size_t>(kMinimumChunkSize, longestWrite));
        log("chunkSize size " + std::to_string(chunkSize_));
        transfer_ = Transfer{std::move(data), 0, target};
        // A printer whose characteristics are known to lack a data characteristic would
        // swallow the job; one still connecting is waited for (its credits come after).
        const PrinterLink* link = linkOf(target);
        if (link && link->classified && !link->writeWithoutRspCht) {
            endTransfer();
            outcome = SendOutcome::noDataCharacteristic;
        } else {
            outcome = sendWhileCreditsLast();
        }
    }
    finishSending(outcome);
    if (replyChannel_) replyChannel_->stopReading();
}

void BLEPrinterManager::continueSendingData() {
    SendOutcome outcome;
    {
        std::lock_guard lock(mutex_);
        outcome = sendWhileCreditsLast();
    }
    finishSending(outcome);
}

BLEPrinterManager::SendOutcome BLEPrinterManager::sendWhileCreditsLast() {
    // One burst: the lock is held throughout, so credits granted meanwhile are spent by the
    // next resume step and never by two loops at once.
    for (;;) {
        if (!transfer_.pendingData || !transfer_.target) return SendOutcome::idle;
        const ble::Bytes& job = *transfer_.pendingData;
        const std::size_t total = job.size();
        PrinterLink* link = linkOf(transfer_.target);
        if (!link || link->credit <= 0) {
            log(isYF316DeviceLocked() ? "credit <=0 ， YF-316" : "credit 为 0，延迟发送数据");
            return SendOutcome::waiting;
        }
        if (!link->writeWithoutRspCht) {
            endTransfer();
            return SendOutcome::noDataCharacteristic;
        }
        const std::size_t offset = transfer_.sendDataOffset;
        const std::size_t length = std::min(total - offset, static_cast<std::size_t>(mtu_));
        ble::Bytes chunk(job.begin() + static_cast<std::ptrdiff_t>(offset),
                         job.begin() + static_cast<std::ptrdiff_t>(offset + length));
        link->credit -= 1;
        transfer_.sendDataOffset = offset + length;
        writeToLink(link, std::move(chunk), false);
        logChunkSent(length, transfer_.sendDataOffset, total);
        if (transfer_.sendDataOffset >= total) {
            log("已成功发送所有数据到打印机");
            endTransfer();
            return SendOutcome::finished;
        }
    }
}

// Once per chunk, so the line is put together without temporaries.
void BLEPrinterManager::logChunkSent(std::size_t length, std::size_t offset, std::size_t total) const {
    constexpr std::string_view kSent = "已发送 ";
    constexpr std::string_view kOffset = " 字节, 当前偏移量：";
    constexpr std::size_t kNumberRoom = 3 * 20 + 1;  // three 64-bit numbers and the slash
    std::string line;
    line.reserve(kSent.size() + kOffset.size() + kNumberRoom);
    const auto append = [&line](std::size_t number) {
        char digits[20];
        const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
        line.append(digits, end);
    };
    line += kSent;
    append(length);
    line += kOffset;
    append(offset);
    line += '/';
    append(total);
    log(line);
}

void BLEPrinterManager::endTransfer() {
    transfer_.pendingData.reset();
    transfer_.sendDataOffset = 0;
    transfer_.target.reset();
}

void BLEPrinterManager::finishSending(SendOutcome outcome) {
    std::string reply;
    if (outcome == SendOutcome::finished) {
        reply = std::string(pb::kStatusFinished);
    } else if (outcome == SendOutcome::noDataCharacteristic) {
        log("No write-without-response characteristic: job not sent");
        reply = std::string(pb::kStatusError);
    } else if (outcome == SendOutcome::linkLost) {
        reply = std::string(pb::kStatusError);
    } else {
        return;
    }
    if (replyChannel_) replyChannel_->writeMessage(reply);
}

void BLEPrinterManager::writeData(ble::Bytes data, bool withResp) {
    std::lock_guard lock(mutex_);
    if (!printerPeripheral_) {
        log("外设未初始化");
        return;
    }
    writeToLink(linkOf(printerPeripheral_), std::move(data), withResp);
}

void BLEPrinterManager::writeToLink(const PrinterLink* link, ble::Bytes data, bool withResp) {
    if (!link) return;
    const auto& characteristic = withResp ? link->writeCht : link->writeWithoutRspCht;
    if (!characteristic) return;
    link->peripheral->writeValue(std::move(data), characteristic,
                                 withResp ? ble::WriteType::withResponse : ble::WriteType::withoutResponse);
}

bool BLEPrinterManager::isYF316Device() const {
    std::lock_guard lock(mutex_);
    return isYF316DeviceLocked();
}

bool BLEPrinterManager::isYF316DeviceLocked() const {
    return deviceName_ && deviceName_->find(kYF316ModelCode) != std::string::npos;
}

int BLEPrinterManager::credit() const {
    std::lock_guard lock(mutex_);
    const PrinterLink* link = linkOf(printerPeripheral_);
    return link ? link->credit : 0;
}

int BLEPrinterManager::mtu() const {
    std::lock_guard lock(mutex_);
    return mtu_;
}

int BLEPrinterManager::chunkSize() const {
    std::lock_guard lock(mutex_);
    return chunkSize_;
}

std::size_t BLEPrinterManager::sendDataOffset() const {
    std::lock_guard lock(mutex_);
    return transfer_.sendDataOffset;
}

bool BLEPrinterManager::hasPendingData() const {
    std::lock_guard lock(mutex_);
    return transfer_.pendingData.has_value();
}

std::shared_ptr<ble::Characteristic> BLEPrinterManager::writeWithoutRspCht() const {
    std::lock_guard lock(mutex_);
    const PrinterLink* link = linkOf(printerPeripheral_);
    return link ? link->writeWithoutRspCht : nullptr;
}

std::shared_ptr<ble::Characteristic> BLEPrinterManager::writeCht() const {
    std::lock_guard lock(mutex_);
    const PrinterLink* link = linkOf(printerPeripheral_);
    return link ? link->writeCht : nullptr;
}

std::shared_ptr<ble::Characteristic> BLEPrinterManager::creditCharacteristic() const {
    std::lock_guard lock(mutex_);
    const PrinterLink* link = linkOf(printerPeripheral_);
    return link ? link->creditCharacteristic : nullptr;
}

}  // namespace quorvel
