// What a log writes for each message: long messages cut with a mark, and a run of the same
// message folded into one note, so that input from outside (a flood of one command, a name
// that keeps advertising) cannot grow a log by more than a few lines. No I/O; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

inline constexpr std::size_t kMaxLogMessageBytes = 4096;
// A long run is still noted every so many repeats, so the log shows it goes on.
inline constexpr std::uint64_t kRepeatNoteEvery = 10000;

class LogFolding {
public:
    // The messages to write for `message`, in order: none while it repeats the one before, a
    // "last line repeated N times" note when a run ends (or reaches kRepeatNoteEvery), and the
    // message itself, cut to kMaxLogMessageBytes with a mark telling how much went.
    std::vector<std::string> next(std::string_view message);

private:
    std::mutex mutex_;
    std::string last_;
    bool any_ = false;
    std::uint64_t repeats_ = 0;
};

}  // namespace pb
