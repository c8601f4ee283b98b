// The shape of a line in the backend's and the agent's log: thread tag, ":[", a localised
// short date and long time, "] ", the message and a line feed. No I/O.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace pb {

inline constexpr std::string_view kMainThreadTag = "main";
inline constexpr std::string_view kOtherThreadTag = "not-main";

// The date and time in the LC_TIME locale of the process: short date, long time with the
// time-zone abbreviation, e.g. "05/12/26, 19:23:34 GMT" in the C locale.
std::string formatLogTime(std::chrono::system_clock::time_point when);

// "main:[<time>] message\n" or "not-main:[<time>] message\n". Control characters in the
// message (line feeds above all) are shown as \xNN: a log line is one line, so text from
// outside can never start a line of its own (on the backend's standard output such a line
// could pass for a device line).
std::string formatLogLine(bool onMainThread, std::chrono::system_clock::time_point when,
                          std::string_view message);

// `text` with every byte below 0x20 and 0x7F written as \xNN.
std::string escapeControlCharacters(std::string_view text);

}  // namespace pb
