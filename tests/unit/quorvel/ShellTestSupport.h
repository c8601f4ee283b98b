// Doubles and helpers for the agent shell's unit tests: a collecting log, a recording reply
// channel, a temporary folder and a deadline wait.
#pragma once

#include "quorvel/Logger.h"
#include "quorvel/ReplyChannel.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::shelltest {

// Thread-safe: written by whichever thread logs, read by the test.
class Recorder {
public:
    void record(std::string_view text) { std::lock_guard lock(mutex_); texts_.emplace_back(text); }
    std::vector<std::string> lines() const { std::lock_guard lock(mutex_); return texts_; }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

class RecordingLog : public Logger, public Recorder {
public:
    void log(std::string_view message) override { record(message); }
    bool has(const std::string& line) const { return count(line) > 0; }
    long count(const std::string& line) const { return std::ranges::count(lines(), line); }
    bool hasPrefix(const std::string& prefix) const {
        return std::ranges::any_of(lines(), [&](auto& line) { return line.starts_with(prefix); });
    }
};

class RecordingReplies : public ReplyChannel, public Recorder {
public:
    void writeMessage(const std::string& message) override { record(message); }
    void stopReading() override {}
};

// A fresh folder under the system's temporary one, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pb-agent-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = std::filesystem::canonical(pattern);
    }
    ~TempFolder() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
    TempFolder(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
    for (const auto end = std::chrono::steady_clock::now() + deadline; !condition();
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

}  // namespace quorvel::shelltest
