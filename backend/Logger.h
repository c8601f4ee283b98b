// The backend's log: each line tagged with the kind of thread and a time stamp, echoed on
// standard output and appended to the backend's log file.
#pragma once

#include "common/LogFolding.h"

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace backend {

class Logger {
public:
    // `isMainThread` tells the main thread from the others (MainQueue::isMainThread in the
    // program). `console` receives every line and every status line; it is not owned.
    // Construction creates the log file (mode 0666) when it is missing and logs which it did.
    Logger(std::string logFilePath, std::function<bool()> isMainThread, std::FILE* console);

    // The program's instance: the log under the root prefix, the main queue's thread test,
    // standard output. Wired in main.
    static Logger& shared();
    // Where the program's instance echoes its lines, if called before its first use: standard
    // output by default; a device listing keeps standard output for its device lines.
    static void setSharedConsole(std::FILE* console);

    // Appends one line to the log file and echoes it, followed by an empty line, on the console.
    // A file that cannot be opened for appending is left alone (the line is only echoed). Long
    // messages are cut and repeats folded (pb::LogFolding). Thread-safe.
    void log(std::string_view message);

    // A status line for people: `text`, the terminator "\n" and the print's own line feed on
    // the console, then `to` is flushed (it only decides which stream is flushed).
    void customPrint(std::string_view text, std::FILE* to);

    // One plain line on the console, not logged (the line about an unreadable reply channel).
    void consolePrint(std::string_view text);

    const std::string& logFilePath() const { return logFilePath_; }

private:
    void createLogFile();
    void writeLine(std::string_view message);

    std::string logFilePath_;
    std::function<bool()> isMainThread_;
    std::FILE* console_;
    std::mutex consoleMutex_;
    pb::LogFolding folding_;
};

}  // namespace backend
