// Doubles and helpers shared by the agent's unit tests: recording lists, a collecting log and
// reply channel, a temporary folder, a deadline wait and a file's text (tests/support/).
#pragma once

#include "quorvel/Logger.h"
#include "quorvel/ReplyChannel.h"
#include "support/TestFiles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::test {

// Thread-safe list of strings: written by whichever thread reports, read by the test.
class Lines {
public:
    void add(std::string_view line) { std::lock_guard lock(mutex_); lines_.emplace_back(line); }
    std::vector<std::string> all() const { std::lock_guard lock(mutex_); return lines_; }
    std::size_t size() const { return all().size(); }
    std::size_t count(const std::string& line) const { return std::ranges::count(all(), line); }
    bool contains(const std::string& line) const { return count(line) > 0; }
    bool hasPrefix(const std::string& prefix) const {
        return std::ranges::any_of(all(), [&](auto& line) { return line.starts_with(prefix); });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

struct RecordingLog : Logger, Lines {
    void log(std::string_view message) override { add(message); }
};

struct RecordingReplies : ReplyChannel, Lines {
    void writeMessage(const std::string& message) override { add(message); }
    void stopReading() override {}
    void dropStatusReplies() override { add("<dropped>"); }
};

// A fresh folder under the system's temporary one, removed with everything in it.
struct TempFolder {
    const std::filesystem::path path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "pb-agent-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return std::filesystem::canonical(pattern);
    }();
    TempFolder() = default;
    TempFolder(const TempFolder&) = delete;
    ~TempFolder() { std::error_code ignored; std::filesystem::remove_all(path, ignored); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    return pbtest::waitUntil(condition, limit);
}
using pbtest::readFile;  // the whole file; empty when it cannot be read
// Everything written to `file` so far; its position is left alone.
inline std::string textOf(std::FILE* file) {
    std::fflush(file);
    return readFile("/proc/self/fd/" + std::to_string(fileno(file)));
}

}  // namespace quorvel::test
