// The backend's log file and console lines.
#include "backend/Logger.h"

#include "common/ChannelAccess.h"
#include "common/LogFile.h"
#include "common/LogLine.h"
#include "common/MainQueue.h"
#include "common/Paths.h"
#include "common/RootPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace backend {

namespace {

std::FILE* sharedConsole = stdout;

}  // namespace

Logger& Logger::shared()
{
    // Never destroyed: other threads may log until the process ends.
    static Logger* instance = new Logger(pb::rootedPath(pb::kBackendLogPath),
                                         [] { return pb::MainQueue::shared().isMainThread(); }, sharedConsole);
    return *instance;
}

void Logger::setSharedConsole(std::FILE* console)
{
    sharedConsole = console;
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

void Logger::log(std::string_view message)
{
    for (const std::string& line : folding_.next(message))
        writeLine(line);
}

void Logger::writeLine(std::string_view message)
{
    const std::string line = pb::formatLogLine(isMainThread_(), std::chrono::system_clock::now(), message);
    {
        std::lock_guard lock(consoleMutex_);
        // One call, so a device line printed by another thread never lands inside this one.
        std::fputs((line + "\n").c_str(), console_);
        std::fflush(console_);
    }
    // O_APPEND makes each line one atomic append, whichever thread or process writes it.
    int fd = pb::openLogForAppending(logFilePath_);
    if (fd < 0)
        return;
    [[maybe_unused]] ssize_t ignored = ::write(fd, line.data(), line.size());
    ::close(fd);
}

void Logger::consolePrint(std::string_view text)
{
    std::lock_guard lock(consoleMutex_);
    std::fputs((std::string(text) + "\n").c_str(), console_);
    std::fflush(console_);
}

void Logger::customPrint(std::string_view text, std::FILE* to)
{
    std::lock_guard lock(consoleMutex_);
    std::fputs((std::string(text) + "\n\n").c_str(), console_);
    std::fflush(console_);
    std::fflush(to);
}

}  // namespace backend
