// The shape of a line in the backend's and the agent's log.
#include "common/LogLine.h"

#include <cstdio>
#include <ctime>

namespace pb {

namespace {
constexpr std::size_t kTimeTextSize = 128;
}

std::string formatLogTime(std::chrono::system_clock::time_point when)
{
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[kTimeTextSize];
    std::size_t length = std::strftime(text, sizeof text, "%x, %X %Z", &local);
    return std::string(text, length);
}

std::string escapeControlCharacters(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string formatLogLine(bool onMainThread, std::chrono::system_clock::time_point when,
                          std::string_view message)
{
    std::string line(onMainThread ? kMainThreadTag : kOtherThreadTag);
    line += ":[";
    line += formatLogTime(when);
    line += "] ";
    line += escapeControlCharacters(message);
    line += '\n';
    return line;
}

}  // namespace pb
