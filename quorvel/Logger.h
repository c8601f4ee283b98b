// The agent's log: each line tagged with the kind of thread and a time stamp, echoed on
// standard output and appended to the agent's log file.
#pragma once

#include "common/LogFolding.h"

#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace quorvel {

class Logger {
public:
    // `isMainThread` tells the main thread from the others; `console` receives every line
    // (not owned). Construction creates the log file when it is missing and logs which it did.
    Logger(std::string logFilePath, std::function<bool()> isMainThread, std::FILE* console);
    virtual ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // The program's instance (the log file under the root prefix, the main queue's thread
    // test, standard output), made on first use.
    static Logger& shared();

    // Writes one line: echoed on the console followed by an empty line, and appended to the
    // file with a single write, so lines from several threads never interleave. A file that
    // cannot be opened costs only the file. Long messages are cut and repeats folded
    // (pb::LogFolding). Thread-safe; callable from any thread.
    virtual void log(std::string_view message);

    const std::string& logFilePath() const { return logFilePath_; }

protected:
    // For test doubles that only collect lines: no file, no console.
    Logger() = default;

private:
    void createLogFile();
    void writeLine(std::string_view message);
    // Appends the time stamp; returns its second.
    std::time_t appendTime(std::string& line);

    std::string logFilePath_;
    std::function<bool()> isMainThread_;
    std::FILE* console_ = nullptr;
    std::mutex consoleMutex_;
    pb::LogFolding folding_;
    // The time stamp of the second last logged in. Guarded by timeMutex_.
    std::mutex timeMutex_;
    std::time_t timeSecond_ = 0;
    std::string timeText_;
    // The log file, open for appending between lines; reopened (never created) once the file
    // has been removed, which is looked for once a second. Guarded by fileMutex_.
    std::mutex fileMutex_;
    int fileFd_ = -1;
    std::time_t fileCheckedSecond_ = 0;
};

}  // namespace quorvel
