// Credit grants, MTU and status reports and the paced buffer of a virtual label printer.
#include "ble/sim/VirtualPrinter.h"

#include <algorithm>
#include <utility>

namespace ble::sim {

namespace {

constexpr std::uint64_t kMaxCreditsPerReport = 255;  // the count is one byte
constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;

}  // namespace

const std::vector<PrinterGatt::CharacteristicLayout>& PrinterGatt::characteristics() {
    using P = CharacteristicProperty;
    static const std::vector<CharacteristicLayout> layout{
        {command(), CharacteristicProperties{P::write, P::notify}},
        {data(), CharacteristicProperties{P::writeWithoutResponse}},
        {credit(), CharacteristicProperties{P::notify}},
        {info(), CharacteristicProperties{P::read}},
    };
    return layout;
}

VirtualPrinter::VirtualPrinter(PrinterSettings settings, NotifyFunction notify, ReceiveFunction receive)
    : settings_(settings), notify_(std::move(notify)), receive_(std::move(receive)) {}

void VirtualPrinter::setNotifying(const Uuid& characteristic, bool enabled) {
    if (!enabled) {
        notifying_.erase(characteristic);
        return;
    }
    // A repeated subscription changes nothing, and one renewed on the same link grants only
    // what is free beside the credits still out: a grant is never made twice.
    if (!notifying_.insert(characteristic).second) return;
    if (characteristic != PrinterGatt::credit()) return;
    setMtu(settings_.mtu);
    grantFreeSlots(true);
}

bool VirtualPrinter::linkEstablished() {
    if (!settings_.notifiesBeforeSubscribe) return false;
    setNotifying(PrinterGatt::credit(), true);
    return true;
}

bool VirtualPrinter::dataWritten(const Bytes& chunk) {
    if (chunk.size() > settings_.maxWriteLength) {
        ++stats_.oversizedWrites;
        return false;
    }
    ++stats_.dataWrites;
    stats_.dataBytes += chunk.size();
    if (outstanding_ == 0) {
        // A real printer would lose such a write; this one keeps it and counts the fault.
        ++stats_.overrunWrites;
    } else {
        --outstanding_;
    }
    buffered_.push_back(chunk.size());
    if (receive_) receive_(chunk);
    if (settings_.dropLinkAfterBytes != 0 && !linkDropDone_ && stats_.dataBytes >= settings_.dropLinkAfterBytes) {
        linkDropDone_ = true;
        linkDropPending_ = true;
    }
    return true;
}

void VirtualPrinter::commandWritten(const Bytes&) { ++stats_.commandWrites; }

std::optional<Bytes> VirtualPrinter::read(const Uuid& characteristic) const {
    if (characteristic != PrinterGatt::info()) return std::nullopt;
    return Bytes(kFirmwareText.begin(), kFirmwareText.end());
}

void VirtualPrinter::linkDropped() {
    notifying_.clear();
    outstanding_ = 0;
}

std::optional<std::chrono::nanoseconds> VirtualPrinter::nextConsumeDelay() const {
    if (buffered_.empty()) return std::nullopt;
    if (settings_.bytesPerSecond == 0) return std::chrono::nanoseconds{0};
    // Unsigned, so that any rate a test asks for (up to 2^64 - 1) gives a delay from 0 up.
    const std::uint64_t nanoseconds = buffered_.front() * kNanosecondsPerSecond / settings_.bytesPerSecond;
    return std::chrono::nanoseconds{static_cast<std::int64_t>(nanoseconds)};
}

void VirtualPrinter::consumeNext() {
    if (buffered_.empty()) return;
    stats_.bytesConsumed += buffered_.front();
    buffered_.pop_front();
    grantFreeSlots(false);
}

bool VirtualPrinter::takeLinkDropRequest() { return std::exchange(linkDropPending_, false); }

void VirtualPrinter::setGrantingCredits(bool granting) {
    granting_ = granting;
    if (granting_) grantFreeSlots(true);
}

void VirtualPrinter::setMtu(std::uint16_t mtu) {
    settings_.mtu = mtu;
    report(PrinterGatt::credit(), Bytes{kMtuReport, static_cast<std::uint8_t>(mtu & 0xFF),
                                        static_cast<std::uint8_t>(mtu >> 8)});
}

void VirtualPrinter::reportStatus(std::uint8_t status) {
    report(PrinterGatt::command(), Bytes{kStatusReport, status});
}

void VirtualPrinter::reportError(const std::string& text) {
    report(PrinterGatt::command(), Bytes(text.begin(), text.end()));
}

bool VirtualPrinter::report(const Uuid& characteristic, Bytes value) {
    if (notifying_.count(characteristic) == 0) return false;
    if (notify_) notify_(characteristic, std::move(value));
    return true;
}

// Free slots are the buffer's room minus the credits still out. They go out in batches, so
// that a busy printer sends one report per few chunks, but never held back from a sender
// that has no credit left.
void VirtualPrinter::grantFreeSlots(bool evenBelowBatch) {
    if (!granting_ || notifying_.count(PrinterGatt::credit()) == 0) return;
    const std::uint64_t used = buffered_.size() + outstanding_;
    std::uint64_t free = settings_.bufferChunks > used ? settings_.bufferChunks - used : 0;
    if (settings_.creditLimit != 0) {
        const std::uint64_t left =
            settings_.creditLimit > stats_.creditsGranted ? settings_.creditLimit - stats_.creditsGranted : 0;
        free = std::min(free, left);
    }
    if (free == 0) return;
    if (free < settings_.creditBatch && !evenBelowBatch && outstanding_ != 0) return;
    outstanding_ += free;
    stats_.creditsGranted += free;
    // A report counts at most 255 credits: a larger grant goes out as several.
    while (free > 0) {
        const std::uint64_t count = std::min(free, kMaxCreditsPerReport);
        report(PrinterGatt::credit(), Bytes{kCreditReport, static_cast<std::uint8_t>(count)});
        free -= count;
    }
}

}  // namespace ble::sim
