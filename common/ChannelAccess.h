// Who may use the channels, their lock and the logs: root and the lp group (the user CUPS runs
// filters and unprivileged backends as), never other local users. Files are made and given
// their owner and mode through the open descriptor, never by name, and a path is never
// followed through a symbolic link.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <system_error>

namespace pb {

inline constexpr mode_t kChannelMode = 0660;    // the FIFOs and the lock
inline constexpr mode_t kLogMode = 0640;        // the backend's and the agent's logs
inline constexpr mode_t kSharedLogMode = 0660;  // the filters' log: they run as lp

// The lp group where the system has one, else the process's own group.
gid_t channelGroup();

// Gives the open `fd` the channel group (when we may) and `mode`.
std::error_code claimForChannel(int fd, mode_t mode);

// Why the FIFO or file open at `fd` may not serve as a channel, or nothing: it must be of the
// expected kind, owned by root or by this process's user, and grant no one beyond its owner
// and group (at most `mode`).
std::optional<std::string> whyUnfitChannel(int fd, bool fifo, mode_t mode = kChannelMode);

// A file of ours (made by an older version open to everyone) is closed up to `mode`; another
// user's is left alone, for whyUnfitChannel to refuse.
void closeUpIfOurs(int fd, mode_t mode);

// Makes a FIFO at `path` (nothing may be there) with the channel's owner and mode.
std::error_code makeChannelFifo(const std::string& path);

}  // namespace pb
