// The GATT behaviour of a label printer, without any radio I/O: credits, MTU, status and
// error reports, and the pace at which it frees its buffer for more job data.
#pragma once

#include "ble/BleTypes.h"
#include "ble/Uuid.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace ble::sim {

// The printer's service and characteristics, in the order it declares them. The notifying
// FF03 comes last, so a central that keeps the last notifying characteristic keeps FF03.
struct PrinterGatt {
    // Made once: every data write and credit grant compares against them.
    static const Uuid& service() { return shortUuid<0xFF00>(); }
    static const Uuid& command() { return shortUuid<0xFF01>(); }  // write with response; notifies status and error reports
    static const Uuid& data() { return shortUuid<0xFF02>(); }     // write without response: job data
    static const Uuid& credit() { return shortUuid<0xFF03>(); }   // notifies credit and MTU reports
    static const Uuid& info() { return shortUuid<0xFF04>(); }     // read: firmware text
    template <std::uint16_t Short>
    static const Uuid& shortUuid() {
        static const Uuid uuid = Uuid::from16(Short);
        return uuid;
    }

    struct CharacteristicLayout {
        Uuid uuid;
        CharacteristicProperties properties;
    };
    static const std::vector<CharacteristicLayout>& characteristics();
};

inline constexpr std::uint8_t kCreditReport = 0x01;
inline constexpr std::uint8_t kMtuReport = 0x02;
inline constexpr std::uint8_t kStatusReport = 0xFF;
inline constexpr std::string_view kFirmwareText = "SIM-1.0";
// The longest attribute value: the most a link can carry in one write.
inline constexpr std::uint16_t kMaxAttributeLength = 512;

struct PrinterSettings {
    std::uint16_t mtu = 182;          // chunk length the printer reports
    std::uint16_t bufferChunks = 16;  // writes the printer holds at once: its first grant (255 per report)
    std::uint16_t creditBatch = 4;    // freed slots are granted this many at a time, or when the sender has none
    std::uint64_t bytesPerSecond = 0; // consumption rate; 0 consumes at once
    std::uint64_t creditLimit = 0;    // no more grants after this many credits in all; 0: no limit
    std::uint64_t dropLinkAfterBytes = 0;  // ask the radio once to drop the link after this many data bytes; 0: never
    // The longest data write the link carries (its maximumWriteValueLength without response);
    // a longer one is lost on the way, as on the air, and only counted.
    std::uint16_t maxWriteLength = kMaxAttributeLength;
    // At each connection the printer acts as if notifications on FF03 were already on (a
    // stack may restore a bonded central's subscription by itself): it reports its MTU and
    // grants its free slots before the central has even discovered the characteristic.
    bool notifiesBeforeSubscribe = false;
};

struct PrinterStats {
    std::uint64_t dataWrites = 0;
    std::uint64_t dataBytes = 0;
    std::uint64_t overrunWrites = 0;  // data writes made without a credit
    std::uint64_t oversizedWrites = 0;  // data writes longer than maxWriteLength, lost on the link
    std::uint64_t commandWrites = 0;
    std::uint64_t creditsGranted = 0;
    std::uint64_t bytesConsumed = 0;
};

// Not thread-safe: one queue drives a printer. Reports go out through `notify`, synchronously,
// only on characteristics whose notifications are on. Job bytes go to `receive` as each write
// arrives, in the order written: what a printer has received it prints, even if the sender
// goes away. The consumption rate only decides when buffer slots come free for new credits.
class VirtualPrinter {
public:
    using NotifyFunction = std::function<void(const Uuid& characteristic, Bytes value)>;
    using ReceiveFunction = std::function<void(std::span<const std::uint8_t> bytes)>;

    VirtualPrinter(PrinterSettings settings, NotifyFunction notify, ReceiveFunction receive);

    // GATT events from the radio.
    // Turning FF03 on reports the MTU (02 lo hi) and grants the free buffer slots (01 nn);
    // turning it on again while it is on changes nothing.
    void setNotifying(const Uuid& characteristic, bool enabled);
    // A new link is up. True when the printer turned FF03 on by itself (notifiesBeforeSubscribe):
    // it has then reported its MTU and granted its free slots.
    bool linkEstablished();
    // False when the chunk is longer than the link carries: it never reached the printer.
    bool dataWritten(const Bytes& chunk);
    void commandWritten(const Bytes& value);
    // The value a read returns; empty for a characteristic that cannot be read.
    std::optional<Bytes> read(const Uuid& characteristic) const;
    // Subscriptions and outstanding grants end with the link; what arrived stays buffered.
    void linkDropped();

    // Consumption, driven by the owner's clock.
    // Time the next buffered chunk takes to print; empty when nothing is buffered.
    std::optional<std::chrono::nanoseconds> nextConsumeDelay() const;
    void consumeNext();
    // True once, after the data written reached dropLinkAfterBytes.
    bool takeLinkDropRequest();

    // Test controls.
    void setGrantingCredits(bool granting);
    void setMtu(std::uint16_t mtu);
    // Bytes per second from the next buffered chunk on; 0 consumes at once.
    void setRate(std::uint64_t bytesPerSecond) { settings_.bytesPerSecond = bytesPerSecond; }
    void reportStatus(std::uint8_t status);        // FF ss on FF01
    void reportError(const std::string& text);      // the text on FF01
    // Sends `value` on `characteristic` if its notifications are on; false otherwise.
    bool report(const Uuid& characteristic, Bytes value);

    const PrinterStats& stats() const { return stats_; }
    std::uint16_t mtu() const { return settings_.mtu; }
    std::size_t bufferedChunks() const { return buffered_.size(); }
    std::uint64_t outstandingCredits() const { return outstanding_; }

private:
    void grantFreeSlots(bool evenBelowBatch);

    PrinterSettings settings_;
    NotifyFunction notify_;
    ReceiveFunction receive_;
    std::set<Uuid> notifying_;
    std::deque<std::size_t> buffered_;  // lengths of the chunks received and not yet printed
    std::uint64_t outstanding_ = 0;  // credits granted and not yet spent
    bool granting_ = true;
    bool linkDropDone_ = false;
    bool linkDropPending_ = false;
    PrinterStats stats_;
};

}  // namespace ble::sim
