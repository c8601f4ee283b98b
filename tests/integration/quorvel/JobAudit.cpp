// Finds each job's copies in the printers' streams and judges them.
#include "JobAudit.h"

#include <algorithm>
#include <functional>
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

bool sameCommand(const printer::DecodedCommand& a, const printer::DecodedCommand& b, std::uint64_t shift) {
    return a.kind == b.kind && a.problem == b.problem && a.offset == b.offset + shift && a.length == b.length &&
           a.level == b.level && a.mediaSelector == b.mediaSelector && a.mediaCode == b.mediaCode &&
           a.feedDots == b.feedDots && a.bytesPerRow == b.bytesPerRow && a.rows == b.rows;
}

const printer::DecodedPage* pageNumbered(const printer::CommandStreamDecoder& decoded, std::uint64_t number) {
    const auto& pages = decoded.pages();
    if (number >= 1 && number <= pages.size() && pages[number - 1].number == number) return &pages[number - 1];
    for (const auto& page : pages)
        if (page.number == number) return &page;
    return nullptr;
}

bool samePicture(const printer::DecodedPage& a, const printer::DecodedPage& b) {
    return a.bytesPerRow == b.bytesPerRow && a.announcedRows == b.announcedRows && a.truncated == b.truncated &&
           a.packed == b.packed;
}

// The bytes that tell this job from every other: its first image row when that row has a dot
// (a generated job's rows carry its id), else the whole job.
std::string_view signatureOf(const std::string& job, const printer::CommandStreamDecoder& alone) {
    for (const auto& command : alone.commands()) {
        if (command.kind != printer::CommandKind::PrintImage || command.bytesPerRow == 0) continue;
        const std::size_t start = command.offset + printer::kPrintImageHeaderLength;
        if (start + command.bytesPerRow > job.size()) break;
        const std::string_view row(job.data() + start, command.bytesPerRow);
        if (row.find_first_not_of('\0') != std::string_view::npos) return row;
        break;
    }
    return job;
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
    if (needle.empty()) return copies;
    const std::boyer_moore_horspool_searcher searcher(needle.begin(), needle.end());
    for (auto from = haystack.begin();;) {
        const auto at = std::search(from, haystack.end(), searcher);
        if (at == haystack.end()) return copies;
        copies.push_back(static_cast<std::size_t>(at - haystack.begin()));
        from = at + static_cast<std::ptrdiff_t>(needle.size());
    }
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

bool JobAudit::cleanCopy(const Session& session, std::size_t at, const std::string& job,
                         const printer::CommandStreamDecoder& alone) const {
    const auto own = commandsIn(alone, 0, job.size());
    const auto seen = commandsIn(session.decoded, at, at + job.size());
    if (own.size() != seen.size()) return false;
    for (std::size_t i = 0; i < own.size(); ++i) {
        if (!sameCommand(seen[i], own[i], at)) return false;
        if (own[i].kind != printer::CommandKind::PrintImage) continue;
        const auto* printed = pageNumbered(session.decoded, seen[i].pageNumber);
        const auto* expected = pageNumbered(alone, own[i].pageNumber);
        if (printed == nullptr || expected == nullptr || !samePicture(*printed, *expected)) return false;
    }
    return true;
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
    if (foundElsewhere(job, signatureOf(job.bytes, alone))) return Verdict::Misrouted;
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

}  // namespace agenttest
