// What CUPS is told about a job the agent has in hand.
#include "backend/JobProgress.h"

namespace backend {

namespace {

std::optional<std::string> infoFor(pb::StatusWord word, const std::optional<ByteProgress>& progress)
{
    switch (word) {
    case pb::StatusWord::Queued:
        return "Waiting for earlier jobs to the printer";
    case pb::StatusWord::Connecting:
        return "Waiting for the printer to come in range";
    case pb::StatusWord::Sending:
        if (!progress)
            return "Sending to the printer";
        {
            // The parser keeps numbers to kMaxReportDigits, so sent * 100 cannot overflow.
            const std::uint64_t percent = progress->total == 0 ? 100 : progress->sent * 100 / progress->total;
            return "Sending to the printer: " + std::to_string(percent) + "% (" + std::to_string(progress->sent) +
                   " of " + std::to_string(progress->total) + " bytes)";
        }
    default:
        return std::nullopt;
    }
}

}  // namespace

JobProgress::Lines JobProgress::report(pb::StatusWord word, const std::optional<ByteProgress>& progress,
                                       const std::optional<std::uint64_t>& pages)
{
    Lines lines;
    std::optional<std::string> info = infoFor(word, progress);
    if (!info)
        return lines;
    // A sending report without its byte count says less than the one before it did.
    const bool saysLess = word == pb::StatusWord::Sending && !progress && lastWord_ == word;
    lastWord_ = word;
    if (*info != lastInfo_ && !saysLess)
        lines.info = lastInfo_ = std::move(*info);
    if (pages && *pages > pagesCompleted_)
        lines.pagesCompleted = pagesCompleted_ = *pages;
    return lines;
}

}  // namespace backend
