// Finding a job's commands with the printer's own grammar.
#include "quorvel/JobLayout.h"

#include "printer/CommandGrammar.h"

#include <algorithm>

namespace quorvel {

namespace {

// The command beginning at `at`, matched one more byte at a time; its length, 0 for none.
std::size_t commandLength(std::span<const std::uint8_t> job, std::size_t at, printer::CommandKind& kind)
{
    if (!printer::canStartCommand(job[at]))
        return 0;
    const std::size_t longest = std::min(printer::kLongestPattern, job.size() - at);
    for (std::size_t length = 1; length <= longest; ++length) {
        const printer::PatternMatch match = printer::matchCommand(job.subspan(at, length));
        if (match.verdict == printer::PatternVerdict::NoMatch)
            return 0;
        if (match.verdict == printer::PatternVerdict::Complete) {
            kind = match.kind;
            return length;
        }
    }
    return 0;  // a command cut off by the end of the job
}

}  // namespace

JobLayout::JobLayout(std::span<const std::uint8_t> job)
{
    std::size_t at = 0;
    while (at < job.size()) {
        printer::CommandKind kind = printer::CommandKind::Unknown;
        const std::size_t length = commandLength(job, at, kind);
        if (length == 0) {
            ++at;  // a byte that begins no command: a printer passes over it too
            continue;
        }
        Span span{at, at + length, at + length};
        if (kind == printer::CommandKind::PrintImage) {
            const std::uint64_t bytesPerRow = job[at + 4] | std::uint64_t{job[at + 5]} << 8;
            const std::uint64_t rows = job[at + 6] | std::uint64_t{job[at + 7]} << 8;
            // An image announced longer than the job still ends where its rows would.
            span.end = span.headerEnd + static_cast<std::size_t>(bytesPerRow * rows);
            imageEnds_.push_back(span.end);
        }
        spans_.push_back(span);
        at = span.end;
    }
}

std::uint64_t JobLayout::pagesDoneAt(std::size_t sentBytes) const
{
    return static_cast<std::uint64_t>(std::upper_bound(imageEnds_.begin(), imageEnds_.end(), sentBytes) -
                                      imageEnds_.begin());
}

const JobLayout::Span* JobLayout::spanHolding(std::size_t offset) const
{
    // The last command starting before the offset; it holds the offset if it ends after it.
    auto after = std::upper_bound(spans_.begin(), spans_.end(), offset,
                                  [](std::size_t value, const Span& span) { return value < span.start; });
    if (after == spans_.begin())
        return nullptr;
    const Span& span = *(after - 1);
    return span.start < offset && offset < span.end ? &span : nullptr;
}

std::vector<std::uint8_t> JobLayout::completionAt(std::span<const std::uint8_t> job, std::size_t cutAt) const
{
    std::vector<std::uint8_t> completion;
    const Span* span = spanHolding(cutAt);
    if (span == nullptr)
        return completion;
    // Header bytes come from the job itself, so the rows that follow are the ones the printer
    // counts on; bytes past the job's end (a truncated image) are rows all the same.
    const std::size_t ownEnd = std::min(span->headerEnd, job.size());
    if (cutAt < ownEnd)
        completion.assign(job.begin() + static_cast<std::ptrdiff_t>(cutAt),
                          job.begin() + static_cast<std::ptrdiff_t>(ownEnd));
    const std::size_t rowsFrom = std::max(cutAt, span->headerEnd);
    if (span->end > rowsFrom)
        completion.resize(completion.size() + (span->end - rowsFrom), 0x00);
    return completion;
}

}  // namespace quorvel
