// Doubles and helpers shared by the agent's unit tests: recording lists, a collecting log and
// reply channel, a temporary folder, a deadline wait and a file's text.
#pragma once

#include "quorvel/Logger.h"
#include "quorvel/ReplyChannel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
    for (const auto end = std::chrono::steady_clock::now() + deadline; !condition();
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// The whole file; empty when it cannot be read.
inline std::string textOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
// Everything written to `file` so far; its position is left alone.
inline std::string textOf(std::FILE* file) {
    std::fflush(file);
    return textOf("/proc/self/fd/" + std::to_string(fileno(file)));
}

}  // namespace quorvel::test
