// What CUPS is told about a job the agent has in hand, from the agent's reports; no I/O.
#pragma once

#include "backend/ReplyText.h"
#include "common/Channel.h"

#include <cstdint>
#include <optional>
#include <string>

namespace backend {

class JobProgress {
public:
    struct Lines {
        std::optional<std::string> info;             // the text of an "INFO:" line
        std::optional<std::uint64_t> pagesCompleted;  // a new job-impressions-completed

        bool operator==(const Lines&) const = default;
    };

    // One report: `word` is Queued, Connecting or Sending (any other gives no lines), with the
    // details that came with it. A report repeats what the last one said every few seconds, so
    // an INFO text is given only when it differs from the last one given, and a page count only
    // when it grew.
    Lines report(pb::StatusWord word, const std::optional<ByteProgress>& progress,
                 const std::optional<std::uint64_t>& pages);

private:
    pb::StatusWord lastWord_ = pb::StatusWord::Other;
    std::string lastInfo_;
    std::uint64_t pagesCompleted_ = 0;
};

}  // namespace backend
