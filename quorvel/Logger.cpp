// The agent's log file and console lines.
#include "quorvel/Logger.h"

#include "common/ChannelAccess.h"
#include "common/LogFile.h"
#include "common/LogLine.h"
#include "common/MainQueue.h"
#include "common/Paths.h"
#include "common/RootPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace quorvel {

namespace {

// Room for the thread tag, the time stamp and the separators around a message.
constexpr std::size_t kEntryOverhead = 64;

}  // namespace

Logger& Logger::shared()
{
    // Never destroyed: detached threads may log until the process ends.
    static Logger* instance = new Logger(pb::rootedPath(pb::kAgentLogPath),
                                         [] { return pb::MainQueue::shared().isMainThread(); }, stdout);
    return *instance;
}

Logger::Logger(std::string logFilePath, std::function<bool()> isMainThread, std::FILE* console)
    : logFilePath_(std::move(logFilePath)), isMainThread_(std::move(isMainThread)), console_(console)
{
    createLogFile();
}

void Logger::createLogFile()
{
    log(pb::describeLogFile(pb::ensureLogFile(logFilePath_, pb::kLogMode), logFilePath_));
}

Logger::~Logger()
{
    if (fileFd_ >= 0)
        ::close(fileFd_);
}

void Logger::log(std::string_view message)
{
    for (const std::string& line : folding_.next(message))
        writeLine(line);
}

void Logger::writeLine(std::string_view message)
{
    const bool onMainThread = isMainThread_ && isMainThread_();
    // The line as pb::formatLogLine shapes it, built here without its per-line costs (a
    // time stamp formatted once a second, no copy of a message free of control characters);
    // a second line feed ends the console's entry.
    std::string entry;
    entry.reserve(message.size() + kEntryOverhead);
    entry += onMainThread ? pb::kMainThreadTag : pb::kOtherThreadTag;
    entry += ":[";
    const std::time_t second = appendTime(entry);
    entry += "] ";
    const bool plain = std::none_of(message.begin(), message.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
    if (plain)
        entry += message;
    else
        entry += pb::escapeControlCharacters(message);
    entry += "\n\n";
    if (console_ != nullptr) {
        std::lock_guard lock(consoleMutex_);
        // One call per entry, so another thread's line never lands inside this one.
        std::fwrite(entry.data(), 1, entry.size(), console_);
        std::fflush(console_);
    }
    if (logFilePath_.empty())
        return;
    // O_APPEND with one write() makes each line a single append: lines of several threads, or
    // of several processes, never interleave or overwrite each other. The file stays open
    // between lines (a transfer logs every chunk, and a check per line would cost a fifth of
    // its time); a file removed meanwhile is let go within a second and the path tried again
    // at each line, never created here.
    std::lock_guard lock(fileMutex_);
    if (fileFd_ >= 0 && second != fileCheckedSecond_) {
        fileCheckedSecond_ = second;
        struct stat status {};
        if (fstat(fileFd_, &status) != 0 || status.st_nlink == 0) {
            ::close(fileFd_);
            fileFd_ = -1;
        }
    }
    if (fileFd_ < 0)
        fileFd_ = pb::openLogForAppending(logFilePath_);
    if (fileFd_ < 0)
        return;
    [[maybe_unused]] ssize_t ignored = ::write(fileFd_, entry.data(), entry.size() - 1);
}

std::time_t Logger::appendTime(std::string& line)
{
    // The stamp shows whole seconds, so one formatting serves every line of a second.
    const auto now = std::chrono::system_clock::now();
    const std::time_t second = std::chrono::system_clock::to_time_t(now);
    std::lock_guard lock(timeMutex_);
    if (timeText_.empty() || second != timeSecond_) {
        timeText_ = pb::formatLogTime(now);
        timeSecond_ = second;
    }
    line += timeText_;
    return second;
}

}  // namespace quorvel
