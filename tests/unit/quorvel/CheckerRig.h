// Doubles for the queue checker's unit tests: a scripted lpstat/lpadmin/cupsenable runner, a
// clock whose sleeps only move time, timer queues ticked by hand and a recording orchestrator.
#pragma once

#include "quorvel/PrinterChecker.h"

#include "ShellTestSupport.h"

#include <deque>
#include <map>

namespace quorvel::checkertest {

using namespace std::chrono_literals;

struct ScriptedRunner : pb::ProcessRunner {
    std::string listing;  // what lpstat prints
    bool lpstatStarts = true;
    int lpadminStatus = 0;
    std::vector<pb::Command> commands;
    pb::CommandResult run(const pb::Command& command) override {
        commands.push_back(command);
        if (command.path.ends_with("lpstat"))
            return lpstatStarts ? pb::CommandResult{true, 0, listing, ""}
                                : pb::CommandResult{false, -1, "", "No such file or directory"};
        return {true, command.path.ends_with("lpadmin") ? lpadminStatus : 0, "", ""};
    }
    bool launch(const pb::Command&, std::string&) override { return false; }
    std::vector<std::string> callsOf(const std::string& tool) const {
        std::vector<std::string> calls;
        for (const auto& command : commands) {
            if (!command.path.ends_with(tool))
                continue;
            std::string line;
            for (const auto& argument : command.arguments)
                line += (line.empty() ? "" : " ") + argument;
            calls.push_back(line);
        }
        return calls;
    }
};

struct ManualClock : CheckerClock {
    TimePoint time{};
    std::vector<Duration> sleeps;
    TimePoint now() const override { return time; }
    void sleepFor(Duration duration) override {
        sleeps.push_back(duration);
        time += duration;
    }
    void interruptSleeps() override {}
};

// Timers that tick only when the test says so.
struct ManualTimerQueue : TimerQueue {
    struct Timer : RepeatingTimer {
        std::chrono::steady_clock::duration interval;
        std::function<void()> handler;
        bool cancelled = false;
        void cancel() override { cancelled = true; }
    };
    std::vector<std::shared_ptr<Timer>> timers;
    std::shared_ptr<RepeatingTimer> startRepeating(std::chrono::steady_clock::duration interval,
                                                   std::function<void()> handler) override {
        timers.push_back(std::make_shared<Timer>());
        timers.back()->interval = interval;
        timers.back()->handler = std::move(handler);
        return timers.back();
    }
    // Runs the newest timer's handler unless it is cancelled; false when it is.
    bool tick() {
        if (timers.empty() || timers.back()->cancelled)
            return false;
        timers.back()->handler();
        return true;
    }
};

struct RecordingConnections : PrinterConnections {
    std::map<std::string, std::deque<bool>> results;  // per name, one per attempt; then false
    std::vector<std::string> connects, disconnects, usbReports;
    bool startConnect(const std::string& name) override {
        connects.push_back(name);
        auto& queue = results[name];
        if (queue.empty())
            return false;
        const bool result = queue.front();
        queue.pop_front();
        return result;
    }
    void disconnectPrinter(const std::string& name) override { disconnects.push_back(name); }
    void startBroadcasting(const std::string& name) override { usbReports.push_back(name); }
};

struct CheckerRig {
    shelltest::RecordingLog log;
    ScriptedRunner runner;
    ManualClock clock;
    RecordingConnections connections;
    ManualTimerQueue* loopQueue = new ManualTimerQueue;
    ManualTimerQueue* addQueue = new ManualTimerQueue;
    std::FILE* console = std::tmpfile();
    int scans = 0;
    PrinterChecker checker{{log, runner, console, connections, [this] { ++scans; }, clock,
                            std::unique_ptr<TimerQueue>(loopQueue), std::unique_ptr<TimerQueue>(addQueue)},
                           {"/r/usr/bin/lpstat", "/r/usr/sbin/lpadmin", "/r/usr/sbin/cupsenable"}};
    ~CheckerRig() { std::fclose(console); }

    void setQueues(const std::vector<std::string>& names) {
        runner.listing.clear();
        for (const auto& name : names)
            runner.listing += "device for " + name + ": pellbluetooth://" + name + "\n";
    }
    std::string consoleText() {
        std::fflush(console);
        std::rewind(console);
        std::string text;
        for (int c; (c = std::fgetc(console)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }
    bool printed(const std::string& line) { return consoleText().find(line + "\n") != std::string::npos; }
};

}  // namespace quorvel::checkertest
