// The virtual printer's decoder: turns a printer command stream into commands and pages.
#include "printer/CommandStreamDecoder.h"

#include <algorithm>
#include <utility>

namespace printer {

namespace {

// Rows are stored as they arrive; reserving up front only saves the first few
// reallocations, and never more than this however large the header claims the image is.
constexpr std::uint64_t kMaxImageReserve = std::uint64_t{64} << 10;

}  // namespace

CommandStreamDecoder CommandStreamDecoder::decodeAll(std::span<const std::uint8_t> bytes)
{
    CommandStreamDecoder decoder;
    decoder.feed(bytes);
    decoder.finish();
    return decoder;
}

void CommandStreamDecoder::feed(std::span<const std::uint8_t> bytes)
{
    process(bytes);
}

void CommandStreamDecoder::finish()
{
    if (imageOpen_)
        completeImage();
    if (zeroRunLength_ > 0)
        closeZeroRun();
    for (std::size_t i = 0; i < pendingLength_; ++i)
        addUnknownByte(pendingStart_ + i, pending_[i]);
    pendingLength_ = 0;
    closeUnknownRun();
}

std::vector<DecodedCommand> CommandStreamDecoder::takeCommands()
{
    return std::exchange(commands_, {});
}

std::vector<DecodedPage> CommandStreamDecoder::takePages()
{
    return std::exchange(pages_, {});
}

bool CommandStreamDecoder::atCommandBoundary() const
{
    return !imageOpen_ && pendingLength_ == 0 && zeroRunLength_ == 0;
}

void CommandStreamDecoder::process(std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        std::size_t used = 1;
        if (imageOpen_)
            used = consumeImageRows(bytes);
        else if (pendingLength_ == 0 && (zeroRunLength_ > 0 || bytes[0] == 0x00))
            used = consumeZeros(bytes);  // may be 0: the run ended before bytes[0]
        else if (pendingLength_ == 0 && !canStartCommand(bytes[0]))
            used = consumeUnknown(bytes);
        else
            consumeByte(bytes[0]);
        bytes = bytes.subspan(used);
    }
}

std::size_t CommandStreamDecoder::consumeImageRows(std::span<const std::uint8_t> bytes)
{
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(imageRemaining_, bytes.size()));
    imagePage_.packed.insert(imagePage_.packed.end(), bytes.begin(), bytes.begin() + count);
    imageRemaining_ -= count;
    cursor_ += count;
    if (imageRemaining_ == 0)
        completeImage();
    return count;
}

std::size_t CommandStreamDecoder::consumeZeros(std::span<const std::uint8_t> bytes)
{
    const auto firstOther = std::find_if(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0x00; });
    const auto count = static_cast<std::size_t>(firstOther - bytes.begin());
    if (zeroRunLength_ == 0)
        zeroRunStart_ = cursor_;
    zeroRunLength_ += count;
    cursor_ += count;
    if (firstOther != bytes.end())
        closeZeroRun();
    return count;
}

// Takes the bytes up to the next one that could begin a command or a run of zeros.
std::size_t CommandStreamDecoder::consumeUnknown(std::span<const std::uint8_t> bytes)
{
    const auto end = std::find_if(bytes.begin(), bytes.end(),
                                  [](std::uint8_t b) { return b == 0x00 || canStartCommand(b); });
    const auto count = static_cast<std::size_t>(end - bytes.begin());
    addUnknownBytes(cursor_, bytes.first(count));
    cursor_ += count;
    return count;
}

void CommandStreamDecoder::consumeByte(std::uint8_t byte)
{
    if (pendingLength_ == 0)
        pendingStart_ = cursor_;
    pending_[pendingLength_++] = byte;
    ++cursor_;
    const PatternMatch match = matchCommand(std::span<const std::uint8_t>(pending_.data(), pendingLength_));
    if (match.verdict == PatternVerdict::Complete)
        completePattern(match.kind);
    else if (match.verdict == PatternVerdict::NoMatch)
        rejectPending();
}

void CommandStreamDecoder::completePattern(CommandKind kind)
{
    DecodedCommand command;
    command.kind = kind;
    command.offset = pendingStart_;
    command.length = pendingLength_;
    pendingLength_ = 0;
    switch (kind) {
    case CommandKind::Darkness:
        command.level = pending_[4];
        break;
    case CommandKind::MediaType:
        command.mediaSelector = pending_[2];
        command.mediaCode = pending_[3];
        if (command.mediaIndex() < 0)
            command.problem = Problem::UnknownMediaCode;
        break;
    case CommandKind::ContinuousFeed:
        command.feedDots = pending_[2];
        break;
    case CommandKind::PrintImage:
        command.bytesPerRow = static_cast<std::uint16_t>(pending_[4] | pending_[5] << 8);
        command.rows = static_cast<std::uint16_t>(pending_[6] | pending_[7] << 8);
        startImage(command);
        return;
    default:
        break;
    }
    emit(command);
}

// The first byte of a broken-off prefix is not understood; the rest may still begin a
// command, so it is decoded again from the byte after.
void CommandStreamDecoder::rejectPending()
{
    std::array<std::uint8_t, kLongestPattern> rest{};
    const std::size_t restLength = pendingLength_ - 1;
    std::copy_n(pending_.begin() + 1, restLength, rest.begin());
    addUnknownByte(pendingStart_, pending_[0]);
    pendingLength_ = 0;
    cursor_ = pendingStart_ + 1;
    // Recursion depth is bounded: each level decodes a strictly shorter prefix.
    process(std::span<const std::uint8_t>(rest.data(), restLength));
}

void CommandStreamDecoder::startImage(DecodedCommand header)
{
    imageCommand_ = header;
    imageCommand_.pageNumber = nextPageNumber_++;
    imagePage_ = DecodedPage{};
    imagePage_.number = imageCommand_.pageNumber;
    imagePage_.bytesPerRow = header.bytesPerRow;
    imagePage_.announcedRows = header.rows;
    imageRemaining_ = std::uint64_t{header.bytesPerRow} * header.rows;
    imagePage_.packed.reserve(static_cast<std::size_t>(std::min(imageRemaining_, kMaxImageReserve)));
    imageOpen_ = true;
    if (imageRemaining_ == 0)
        completeImage();
}

void CommandStreamDecoder::completeImage()
{
    DecodedPage page = std::move(imagePage_);
    page.receivedBytes = page.packed.size();
    imageCommand_.length = kPrintImageHeaderLength + page.receivedBytes;
    if (page.bytesPerRow == 0 || page.announcedRows == 0) {
        imageCommand_.problem = Problem::EmptyImage;
    } else if (imageRemaining_ > 0) {
        imageCommand_.problem = Problem::TruncatedImage;
        page.truncated = true;
        const std::size_t partial = page.packed.size() % page.bytesPerRow;
        if (partial != 0)
            page.packed.resize(page.packed.size() + page.bytesPerRow - partial, 0x00);
        page.packed.shrink_to_fit();
    }
    imageOpen_ = false;
    imageRemaining_ = 0;
    emit(imageCommand_);
    pages_.push_back(std::move(page));
}

void CommandStreamDecoder::closeZeroRun()
{
    DecodedCommand run;
    run.offset = zeroRunStart_;
    run.length = zeroRunLength_;
    if (zeroRunLength_ == kBlankPreambleLength) {
        run.kind = CommandKind::BlankPreamble;
    } else {
        run.kind = CommandKind::StrayZeros;
        run.problem = Problem::StrayZeros;
    }
    zeroRunLength_ = 0;
    emit(run);
}

void CommandStreamDecoder::addUnknownBytes(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return;
    addUnknownByte(offset, bytes[0]);  // opens the run or checks it is contiguous
    const auto rest = bytes.subspan(1);
    const auto kept = std::min<std::uint64_t>(unknownRun_.length, kUnknownSampleLength);
    const auto copied = std::min<std::size_t>(kUnknownSampleLength - kept, rest.size());
    std::copy_n(rest.begin(), copied, unknownRun_.sample.begin() + kept);
    unknownRun_.length += rest.size();
}

void CommandStreamDecoder::addUnknownByte(std::uint64_t offset, std::uint8_t byte)
{
    if (unknownOpen_ && unknownRun_.offset + unknownRun_.length != offset)
        closeUnknownRun();
    if (!unknownOpen_) {
        unknownRun_ = DecodedCommand{};
        unknownRun_.kind = CommandKind::Unknown;
        unknownRun_.problem = Problem::NotUnderstood;
        unknownRun_.offset = offset;
        unknownOpen_ = true;
    }
    if (unknownRun_.length < kUnknownSampleLength)
        unknownRun_.sample[unknownRun_.length] = byte;
    ++unknownRun_.length;
}

void CommandStreamDecoder::closeUnknownRun()
{
    if (!unknownOpen_)
        return;
    unknownOpen_ = false;
    store(unknownRun_);
}

// Any item after an unknown run ends that run, and the run comes first in stream order.
void CommandStreamDecoder::emit(const DecodedCommand& command)
{
    closeUnknownRun();
    store(command);
}

void CommandStreamDecoder::store(const DecodedCommand& command)
{
    if (command.flagged())
        ++flaggedCount_;
    if (commands_.size() < kMaxStoredCommands)
        commands_.push_back(command);
    else
        ++droppedCommands_;
}

}  // namespace printer
