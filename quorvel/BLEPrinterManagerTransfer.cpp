// The BLE manager's job transfers: on each link, chunks of the link's chunk length written
// without response, one per credit that printer has granted.
#include "quorvel/BLEPrinterManager.h"

#include "quorvel/Logger.h"

#include <algorithm>
#include <charconv>

namespace quorvel {

bool BLEPrinterManager::sendPrintData(const std::optional<std::string>& name, std::uint64_t jobId,
                                      std::shared_ptr<const JobBytes> data) {
    JobEnds ends;
    {
        std::lock_guard lock(mutex_);
        std::shared_ptr<ble::Peripheral> target = name ? connectedPeripheral(*name) : printerPeripheral_;
        PrinterLink* link = target ? linkOf(target) : nullptr;
        if (!link) {
            log("特征或打印机未找到，并初始化");
            return false;
        }
        if (!link->classified || link->transfer.busy()) return false;
        printerPeripheral_ = target;
        const auto longestWrite = target->maximumWriteValueLength(ble::WriteType::withResponse);
        chunkSize_ = static_cast<int>(std::max<std::size_t>(kMinimumChunkSize, longestWrite));
        log("chunkSize size " + std::to_string(chunkSize_));
        if (!link->writeWithoutRspCht) {
            // It would swallow the job: refuse it rather than report it printed.
            log("No write-without-response characteristic: job not sent");
            ends.push_back({jobId, link->name, JobEnd::Kind::failed});
        } else {
            link->transfer.start(jobId, std::move(data), {}, LinkTransfer::Clock::now());
            sendWhileCreditsLast(*link, ends);
        }
    }
    reportJobEnds(std::move(ends));
    return true;
}

void BLEPrinterManager::continueSendingData() {
    JobEnds ends;
    {
        std::lock_guard lock(mutex_);
        for (PrinterLink& link : links_)
            if (link.transfer.busy()) sendWhileCreditsLast(link, ends);
    }
    reportJobEnds(std::move(ends));
}

void BLEPrinterManager::sendWhileCreditsLast(PrinterLink& link, JobEnds& ends) {
    // One burst: the lock is held throughout, so credits granted meanwhile are spent by the
    // next resume step and never by two loops at once.
    const auto now = LinkTransfer::Clock::now();
    while (link.transfer.busy() && !link.transfer.allSent()) {
        std::optional<JobBytes> chunk = link.transfer.nextChunk(now);
        if (!chunk) {
            const bool yf316 = link.name.find(kYF316ModelCode) != std::string::npos || isYF316DeviceLocked();
            log(yf316 ? "credit <=0 ， YF-316" : "credit 为 0，延迟发送数据");
            return;
        }
        const std::size_t length = chunk->size();
        writeToLink(&link, std::move(*chunk), false);
        const LinkTransfer::Progress progress = link.transfer.progress();
        logChunkSent(length, progress.sentBytes, progress.totalBytes);
    }
    if (!link.transfer.busy()) return;
    const std::uint64_t jobId = link.transfer.jobId();
    const LinkTransfer::Progress progress = link.transfer.progress();
    const std::optional<LinkTransfer::Outcome> outcome = link.transfer.finish();
    if (!outcome) {
        log("Completion of a cut job sent to " + link.name);
        ends.push_back({0, link.name, JobEnd::Kind::linkFree});
    } else if (*outcome == LinkTransfer::Outcome::finished) {
        log("已成功发送所有数据到打印机");
        ends.push_back({jobId, link.name, JobEnd::Kind::finished});
    } else {
        log("Job " + std::to_string(jobId) + " for " + link.name + " cancelled after " +
            std::to_string(progress.sentBytes) + "/" + std::to_string(progress.totalBytes) +
            " bytes; the command it was cut in is completed");
        ends.push_back({jobId, link.name, JobEnd::Kind::cancelled});
    }
}

void BLEPrinterManager::cancelJob(std::uint64_t jobId) {
    JobEnds ends;
    {
        std::lock_guard lock(mutex_);
        for (PrinterLink& link : links_) {
            if (!link.transfer.busy() || link.transfer.jobId() != jobId) continue;
            link.transfer.cancel();
            sendWhileCreditsLast(link, ends);
        }
    }
    reportJobEnds(std::move(ends));
}

std::optional<LinkTransfer::Progress> BLEPrinterManager::jobProgress(std::uint64_t jobId) const {
    std::lock_guard lock(mutex_);
    for (const PrinterLink& link : links_)
        if (link.transfer.busy() && link.transfer.jobId() == jobId) return link.transfer.progress();
    return std::nullopt;
}

bool BLEPrinterManager::isLinkSettled(const std::string& advertisedName) const {
    std::lock_guard lock(mutex_);
    const PrinterLink* link = linkOf(connectedPeripheral(advertisedName));
    return link && link->classified && link->peripheral->state() == ble::PeripheralState::connected;
}

bool BLEPrinterManager::isReadyForJob(const std::string& advertisedName) const {
    std::lock_guard lock(mutex_);
    const PrinterLink* link = linkOf(connectedPeripheral(advertisedName));
    return link && link->classified && !link->transfer.busy() &&
           link->peripheral->state() == ble::PeripheralState::connected;
}

void BLEPrinterManager::checkStalledTransfers() {
    JobEnds ends;
    {
        std::lock_guard lock(mutex_);
        const auto now = LinkTransfer::Clock::now();
        for (PrinterLink& link : links_)
            if (link.transfer.stalled(now)) abandonTransfer(link, "got no credit for 20 s", ends);
    }
    reportJobEnds(std::move(ends));
}

void BLEPrinterManager::abandonTransfer(PrinterLink& link, const std::string& why, JobEnds& ends) {
    if (!link.transfer.busy()) return;
    const std::uint64_t jobId = link.transfer.jobId();
    const LinkTransfer::Progress progress = link.transfer.progress();
    const bool anyWritten = progress.sentBytes > 0;
    JobBytes owed = link.transfer.abandon();
    if (!owed.empty() && !link.name.empty()) {
        JobBytes& completion = owedCompletions_[link.name];
        completion.insert(completion.end(), owed.begin(), owed.end());
        completion.resize(std::min(completion.size(), LinkTransfer::kMaxCompletionBytes));
    }
    if (jobId == 0) return;
    if (!anyWritten) {
        // None of it reached the printer: it can go out whole on the next link.
        ends.push_back({jobId, link.name, JobEnd::Kind::notSent});
        return;
    }
    // Writes without response are never acknowledged, so chunks in flight when the link fell
    // are lost: finishing the job would print a corrupted label reported as printed.
    log("Link to " + link.name + " lost mid-job after " + std::to_string(progress.sentBytes) + "/" +
        std::to_string(progress.totalBytes) + " bytes: job abandoned (" + why + ")");
    ends.push_back({jobId, link.name, JobEnd::Kind::failed});
}

void BLEPrinterManager::startOwedCompletion(PrinterLink& link) {
    const auto owed = owedCompletions_.find(link.name);
    if (owed == owedCompletions_.end() || link.transfer.busy() || !link.writeWithoutRspCht) return;
    log("Sending " + std::to_string(owed->second.size()) + " bytes to " + link.name +
        " to complete the command a cut job left open");
    link.transfer.startCompletion(std::move(owed->second), LinkTransfer::Clock::now());
    owedCompletions_.erase(owed);
}

void BLEPrinterManager::reportJobEnds(JobEnds ends) {
    if (ends.empty()) return;
    JobEndCallback callback;
    {
        std::lock_guard lock(mutex_);
        callback = jobEndCallback_;
    }
    if (!callback) return;
    // Always on the main queue, after the call that ended them has returned.
    asio::post(mainQueue_, [callback = std::move(callback), ends = std::move(ends)] {
        for (const JobEnd& end : ends) callback(end);
    });
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
    return link ? link->transfer.credit() : 0;
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
    const PrinterLink* link = linkOf(printerPeripheral_);
    return link ? static_cast<std::size_t>(link->transfer.progress().sentBytes) : 0;
}

bool BLEPrinterManager::hasPendingData() const {
    std::lock_guard lock(mutex_);
    return std::any_of(links_.begin(), links_.end(),
                       [](const PrinterLink& link) { return link.transfer.busy() && link.transfer.jobId() != 0; });
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
