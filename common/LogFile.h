// The log files of the backend and the agent: made once, open to root and the lp group only.
#pragma once

#include <sys/types.h>

#include <string>

namespace pb {

// Creates an empty log file at `path` with `mode` (kLogMode, or kSharedLogMode for a log the
// filters append to as lp) when nothing is there; a log of ours found open to others is closed
// up to `mode`. Never follows a link. Returns true when the path already existed. A file that
// cannot be created is not reported: the lines then go to the console only.
bool ensureLogFile(const std::string& path, mode_t mode);

// Opens the log at `path` for appending, refusing a link; -1 when it cannot.
int openLogForAppending(const std::string& path);

}  // namespace pb
