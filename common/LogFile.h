// The log files of the backend and the agent: made once, open to root and the lp group only.
#pragma once

#include <sys/types.h>

#include <string>

namespace pb {

enum class LogFileState { existed, created, failed };

// Creates an empty log file at `path` with `mode` (kLogMode, or kSharedLogMode for a log the
// filters append to as lp) when nothing is there; a log of ours found open to others is closed
// up to `mode`. Never follows a link. Says which happened; the caller's lines go to the
// console only when the file cannot be had.
LogFileState ensureLogFile(const std::string& path, mode_t mode);
// The log's first line: "Log file created at: PATH", "... already exists at: ..." or "... could
// not be created at: ...".
std::string describeLogFile(LogFileState state, const std::string& path);

// Opens the log at `path` for appending, refusing a link; -1 when it cannot.
int openLogForAppending(const std::string& path);

}  // namespace pb
