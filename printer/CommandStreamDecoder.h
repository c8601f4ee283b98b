// The virtual printer's decoder: turns a printer command stream into commands and pages.
#pragma once

#include "printer/CommandGrammar.h"
#include "printer/DecodedCommand.h"
#include "printer/DecodedPage.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace printer {

// Decodes a command stream fed in chunks of any size; the items and pages it reports are
// the same however the stream is cut (feeding it whole included), once finish() is called.
//
// Reporting rules:
// - Items are reported in stream order, each when it is complete. Until finish() an item
//   still open (a command prefix, an image still receiving rows, a run of zeros or of
//   unknown bytes that could go on) is not in commands() yet.
// - Bytes that begin no command form Unknown items, one per run of consecutive such bytes.
//   A command prefix that breaks off (10 FF F1 07) flags its first byte and the decoder
//   resumes at the second, so a command hidden behind garbage is still found.
// - A run of 00 bytes between commands is a BlankPreamble when exactly 128 long; any other
//   length is one StrayZeros item (flagged), however long.
// - Every print-image command makes one page, empty or not. A page's rows are stored only
//   as they arrive, so memory follows the input, never the size a header announces.
// - At finish() an image cut short keeps the rows that arrived (a partial last row padded
//   white) and is flagged TruncatedImage; a command prefix cut off is Unknown bytes.
//
// Not thread-safe: one thread (or one serial queue) feeds and reads a decoder.
class CommandStreamDecoder {
public:
    // At most this many items are kept in commands() at once, about 12 MB (a stream of
    // nothing but line feeds would otherwise cost 48 bytes of memory per input byte; a real
    // job has about six items per page); later items are counted in droppedCommands(), and
    // flagged ones still count in flaggedCount().
    static constexpr std::size_t kMaxStoredCommands = std::size_t{1} << 18;

    // Decodes `bytes` as the continuation of everything fed before.
    void feed(std::span<const std::uint8_t> bytes);
    // Ends the stream: reports the items still open. Feeding afterwards starts afresh at
    // the next stream offset, as if a new stream were appended.
    void finish();

    // Feeds `bytes` whole and finishes.
    static CommandStreamDecoder decodeAll(std::span<const std::uint8_t> bytes);

    const std::vector<DecodedCommand>& commands() const { return commands_; }
    const std::vector<DecodedPage>& pages() const { return pages_; }
    // Hand over the items and pages reported so far and forget them (a long-lived virtual
    // printer does this after each job). Commands keep naming pages by page number.
    std::vector<DecodedCommand> takeCommands();
    std::vector<DecodedPage> takePages();

    std::uint64_t bytesFed() const { return cursor_; }
    // Flagged items reported so far, including dropped and taken ones.
    std::uint64_t flaggedCount() const { return flaggedCount_; }
    std::uint64_t droppedCommands() const { return droppedCommands_; }
    bool understoodCompletely() const { return flaggedCount_ == 0; }
    // True when no command is partly received: no prefix, image or run of zeros open.
    bool atCommandBoundary() const;

private:
    void process(std::span<const std::uint8_t> bytes);
    std::size_t consumeImageRows(std::span<const std::uint8_t> bytes);
    std::size_t consumeZeros(std::span<const std::uint8_t> bytes);
    std::size_t consumeUnknown(std::span<const std::uint8_t> bytes);
    void consumeByte(std::uint8_t byte);
    void completePattern(CommandKind kind);
    void rejectPending();
    void startImage(DecodedCommand header);
    void completeImage();
    void closeZeroRun();
    void addUnknownBytes(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    void addUnknownByte(std::uint64_t offset, std::uint8_t byte);
    void closeUnknownRun();
    void emit(const DecodedCommand& command);
    void store(const DecodedCommand& command);

    std::uint64_t cursor_ = 0;  // stream offset of the next byte to decode

    std::array<std::uint8_t, kLongestPattern> pending_{};  // a command prefix
    std::size_t pendingLength_ = 0;
    std::uint64_t pendingStart_ = 0;

    bool unknownOpen_ = false;
    DecodedCommand unknownRun_;

    std::uint64_t zeroRunStart_ = 0;
    std::uint64_t zeroRunLength_ = 0;  // 0: no run open

    bool imageOpen_ = false;
    DecodedCommand imageCommand_;
    DecodedPage imagePage_;
    std::uint64_t imageRemaining_ = 0;
    std::uint64_t nextPageNumber_ = 1;

    std::vector<DecodedCommand> commands_;
    std::vector<DecodedPage> pages_;
    std::uint64_t flaggedCount_ = 0;
    std::uint64_t droppedCommands_ = 0;
};

}  // namespace printer
