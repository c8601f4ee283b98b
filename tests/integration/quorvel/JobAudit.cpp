// Generated jobs; each job's copies found in the printers' streams and judged.
#include "JobAudit.h"

#include <algorithm>
#include <span>
#include <sstream>

namespace agenttest {

namespace {

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool isZeroRun(const printer::DecodedCommand& command) {
    return command.kind == printer::CommandKind::StrayZeros || command.kind == printer::CommandKind::BlankPreamble;
}

// The commands that begin in [begin, end), zero runs left out: zeros before, between and after
// jobs are the printer's padding and may run into a job's own blank preamble.
std::vector<printer::DecodedCommand> commandsIn(const printer::CommandStreamDecoder& decoded, std::uint64_t begin,
                                                std::uint64_t end) {
    std::vector<printer::DecodedCommand> found;
    const auto& commands = decoded.commands();
    auto it = std::lower_bound(commands.begin(), commands.end(), begin,
                               [](const printer::DecodedCommand& c, std::uint64_t at) { return c.offset < at; });
    for (; it != commands.end() && it->offset < end; ++it)
        if (!isZeroRun(*it)) found.push_back(*it);
    return found;
}

}  // namespace

std::string_view verdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::PrintedOnce: return "printed once";
    case Verdict::FailedAsReported: return "failed, reported";
    case Verdict::PrintedThoughFailed: return "printed, reported failed";
    case Verdict::Lost: return "lost";
    case Verdict::Duplicated: return "duplicated";
    case Verdict::Misrouted: return "misrouted";
    case Verdict::Garbled: return "garbled";
    }
    return "?";
}

std::vector<std::size_t> findCopies(std::string_view haystack, std::string_view needle) {
    std::vector<std::size_t> copies;
    for (auto at = haystack.find(needle); !needle.empty() && at != std::string_view::npos;
         at = haystack.find(needle, at + needle.size()))
        copies.push_back(at);
    return copies;
}

JobAudit::JobAudit(std::vector<PrinterStream> streams) {
    for (auto& stream : streams) {
        Printer printer{stream.printer, {}};
        for (auto& bytes : stream.sessions) {
            auto decoded = printer::CommandStreamDecoder::decodeAll(asBytes(bytes));
            printer.sessions.push_back({std::move(bytes), std::move(decoded)});
        }
        printers_.push_back(std::move(printer));
    }
}

// Clean: the printer decoded the job's own commands at the same places as the job alone.
bool JobAudit::cleanCopy(const Session& session, std::size_t at, const std::string& job,
                         const printer::CommandStreamDecoder& alone) const {
    return std::ranges::equal(commandsIn(session.decoded, at, at + job.size()), commandsIn(alone, 0, job.size()),
                              [&](const printer::DecodedCommand& seen, printer::DecodedCommand own) {
                                  own.offset += at;
                                  own.pageNumber = seen.pageNumber;  // counted over the whole stream
                                  return seen == own;
                              });
}

bool JobAudit::foundElsewhere(const SentJob& job, std::string_view signature) const {
    for (const auto& printer : printers_) {
        if (printer.name == job.printer) continue;
        for (const auto& session : printer.sessions)
            if (session.bytes.find(signature) != std::string::npos) return true;
    }
    return false;
}

Verdict JobAudit::classify(const SentJob& job) const {
    const auto alone = printer::CommandStreamDecoder::decodeAll(asBytes(job.bytes));
    // The bytes that tell a generated job from every other: its first image row.
    const auto signature =
        std::string_view(job.bytes).substr(GeneratedJob::kFirstRowOffset, GeneratedJob::kBytesPerRow);
    if (foundElsewhere(job, signature)) return Verdict::Misrouted;
    std::size_t copies = 0;
    bool clean = true;
    for (const auto& printer : printers_) {
        if (printer.name != job.printer) continue;
        for (const auto& session : printer.sessions) {
            for (const std::size_t at : findCopies(session.bytes, job.bytes)) {
                ++copies;
                clean = clean && cleanCopy(session, at, job.bytes, alone);
            }
        }
    }
    if (copies > 1) return Verdict::Duplicated;
    if (copies == 1 && !clean) return Verdict::Garbled;
    const bool reportedPrinted = job.reported == Reported::Printed;
    if (copies == 1) return reportedPrinted ? Verdict::PrintedOnce : Verdict::PrintedThoughFailed;
    return reportedPrinted ? Verdict::Lost : Verdict::FailedAsReported;
}

std::map<Verdict, std::size_t> JobAudit::tally(const std::vector<SentJob>& jobs) const {
    std::map<Verdict, std::size_t> counts;
    for (const auto& job : jobs) ++counts[classify(job)];
    return counts;
}

std::string JobAudit::problems(const std::vector<SentJob>& jobs) const {
    std::ostringstream lines;
    for (const auto& job : jobs) {
        const Verdict verdict = classify(job);
        if (verdict != Verdict::PrintedOnce && verdict != Verdict::FailedAsReported)
            lines << "job " << job.id << " on " << job.printer << ": " << verdictName(verdict) << "\n";
    }
    return lines.str();
}

namespace {

constexpr char kEnable[] = {0x10, char(0xFF), char(0xF1), 0x03};
constexpr char kDarkness[] = {0x10, char(0xFF), 0x10, 0x00, 0x08};
constexpr char kMedia[] = {0x1F, char(0x80), 0x01, 0x10, 0x0A};
constexpr char kImageStart[] = {0x1D, 0x76, 0x30, 0x00};
constexpr char kLabelFeed[] = {0x1D, 0x0C};
constexpr char kEndJob[] = {0x1B, char(0xBB), char(0xBB)};
constexpr std::size_t kFrameBytes =
    sizeof kEnable + sizeof kDarkness + sizeof kMedia + sizeof kImageStart + 4 + sizeof kLabelFeed + sizeof kEndJob;

// Four bits per byte, always with the high bit set: never zero, never a command's first byte.
void putNibbles(std::string& row, std::size_t at, std::uint32_t value, int nibbles) {
    for (int i = nibbles - 1; i >= 0; --i) row[at++] = static_cast<char>(0xA0 | ((value >> (4 * i)) & 0xF));
}

std::string row(std::uint32_t id, std::uint32_t number) {
    std::string bytes(GeneratedJob::kBytesPerRow, '\0');
    putNibbles(bytes, 0, id, 8);
    putNibbles(bytes, 8, number, 4);
    // Stripes that differ from job to job, so the printed pages differ too.
    for (std::size_t i = 12; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(0x80 | ((id * 37 + number * 3 + i) & 0x7F));
    return bytes;
}

}  // namespace

std::string GeneratedJob::make(std::uint32_t id, std::size_t size) {
    const std::size_t rows =
        std::clamp(size > kFrameBytes ? (size - kFrameBytes) / kBytesPerRow : 0, kMinRows, kMaxRows);
    std::string job;
    job.reserve(kFrameBytes + rows * kBytesPerRow);
    for (const std::string_view part : {std::string_view(kEnable, sizeof kEnable),
                                        std::string_view(kDarkness, sizeof kDarkness),
                                        std::string_view(kMedia, sizeof kMedia),
                                        std::string_view(kImageStart, sizeof kImageStart)})
        job += part;
    for (const std::size_t value : {kBytesPerRow, rows}) {
        job += static_cast<char>(value & 0xFF);
        job += static_cast<char>(value >> 8);
    }
    for (std::uint32_t number = 0; number < rows; ++number) job += row(id, number);
    job.append(kLabelFeed, sizeof kLabelFeed).append(kEndJob, sizeof kEndJob);
    return job;
}

std::size_t GeneratedJob::bytesHeld(const std::string& job, const std::string& received) {
    static_assert(kFirstRowOffset == kFrameBytes - sizeof kLabelFeed - sizeof kEndJob);
    const auto row = received.find(job.substr(kFirstRowOffset, kBytesPerRow));
    if (row == std::string::npos || row < kFirstRowOffset) return 0;
    return received.size() - (row - kFirstRowOffset);
}

}  // namespace agenttest
