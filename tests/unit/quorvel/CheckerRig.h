// The queue checker's rig: a scripted runner standing in for the CUPS tools (queue states
// included), a clock whose sleeps only move time, timer queues ticked by hand and recording
// connections.
#pragma once

#include "quorvel/PrinterChecker.h"
#include "quorvel/TimerQueue.h"

#include "ShellTestSupport.h"

#include <deque>
#include <filesystem>
#include <map>
#include <set>

namespace quorvel::test {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;

// lpstat -v prints `listing`; lpstat -p prints a line per listed queue from `states` (idle when
// missing), as lpstat does in the C locale, unless `stateListing` replaces it. lpadmin,
// cupsenable and cupsdisable change `states` as CUPS would, and count a change made to a
// printing queue: CUPS would print that job again.
struct ScriptedRunner : pb::ProcessRunner {
    std::string listing;  // what lpstat -v prints
    bool lpstatStarts = true;
    std::map<std::string, std::string> states;
    std::optional<std::string> stateListing;
    bool stateListingStarts = true;
    int lpadminStatus = 0;
    int restartedJobs = 0;
    std::vector<pb::Command> commands;
    pb::CommandResult run(const pb::Command& command) override {
        commands.push_back(command);
        const Names& arguments = command.arguments;
        if (command.path.ends_with("lpstat")) {
            if (!lpstatStarts || (arguments.at(0) == "-p" && !stateListingStarts))
                return {false, -1, "", "No such file"};
            if (arguments.at(0) == "-v") return {true, 0, listing, ""};
            return {true, 0, stateListing ? *stateListing : stateLines(arguments.size() > 1 ? arguments[1] : ""), ""};
        }
        if (command.path.ends_with("lpadmin")) {
            if (lpadminStatus == 0) setState(arguments.at(1), arguments.at(3) == "printer-state=3" ? "idle" : "stopped");
            return {true, lpadminStatus, "", ""};
        }
        setState(arguments.back(), command.path.ends_with("cupsenable") ? "idle" : "stopped");
        return {true, 0, "", ""};
    }
    bool launch(const pb::Command&, std::string&) override { return false; }
    void setState(const std::string& queue, const std::string& state) {
        restartedJobs += states[queue] == "printing";
        states[queue] = state;
    }
    std::string stateLines(const std::string& only) const {
        std::string lines;
        const std::string device = "device for ";
        for (std::size_t at = 0; (at = listing.find(device, at)) != std::string::npos; ++at) {
            const auto start = at + device.size();
            const std::string queue = listing.substr(start, listing.find(':', start) - start);
            if (!only.empty() && queue != only) continue;
            const std::string state = states.contains(queue) ? states.at(queue) : "idle";
            if (state == "printing")
                lines += "printer " + queue + " now printing " + queue + "-7.  enabled since Mon 07 Dec 2026\n";
            else if (state == "stopped")
                lines += "printer " + queue + " disabled since Mon 07 Dec 2026 -\n\treason unknown\n";
            else
                lines += "printer " + queue + " is idle.  enabled since Mon 07 Dec 2026\n";
        }
        return lines;
    }
    // Each run of `tool` (empty: of every tool that changes a queue), in order: the tool's name
    // and its arguments, joined by blanks.
    Names calls(const std::string& tool = {}) const {
        Names all;
        for (const auto& command : commands) {
            const std::string name = std::filesystem::path(command.path).filename();
            if (tool.empty() ? name == "lpstat" : name != tool) continue;
            all.push_back(name);
            for (const auto& argument : command.arguments) all.back() += " " + argument;
        }
        return all;
    }
};

struct ManualClock : CheckerClock {
    TimePoint time{};
    std::vector<Duration> sleeps;
    TimePoint now() const override { return time; }
    void sleepFor(Duration duration) override { sleeps.push_back(duration), time += duration; }
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
        auto timer = timers.emplace_back(std::make_shared<Timer>());
        timer->interval = interval, timer->handler = std::move(handler);
        return timer;
    }
    // Runs the newest timer's handler unless it is cancelled; false when it is.
    bool tick() { return !timers.empty() && !timers.back()->cancelled && (timers.back()->handler(), true); }
};

struct RecordingConnections : PrinterConnections {
    std::map<std::string, std::deque<bool>> results;  // per name, one per attempt; then false
    Names connects, disconnects, usbReports;
    std::set<std::string> connected;
    int scanRequests = 0;
    bool startConnect(const std::string& name) override {
        connects.push_back(name);
        auto& queue = results[name];
        const bool result = !queue.empty() && queue.front();
        if (!queue.empty()) queue.pop_front();
        return result;
    }
    void disconnectPrinter(const std::string& name) override { disconnects.push_back(name); }
    void startBroadcasting(const std::string& name) override { usbReports.push_back(name); }
    bool isPrinterConnected(const std::string& name) override { return connected.contains(name); }
    void ensureScanning() override { ++scanRequests; }
};

struct CheckerRig {
    RecordingLog log;
    ScriptedRunner runner;
    ManualClock clock;
    RecordingConnections connections;
    ManualTimerQueue* loopQueue = new ManualTimerQueue;
    ManualTimerQueue* addQueue = new ManualTimerQueue;
    std::FILE* console = std::tmpfile();
    int scans = 0;
    PrinterChecker checker{{log, runner, console, connections, [this] { ++scans; }, clock,
                            std::unique_ptr<TimerQueue>(loopQueue), std::unique_ptr<TimerQueue>(addQueue)},
                           {"/r/usr/bin/lpstat", "/r/usr/sbin/lpadmin", "/r/usr/sbin/cupsenable",
                            "/r/usr/sbin/cupsdisable"}};
    ~CheckerRig() { std::fclose(console); }

    void setQueues(const Names& names) {
        runner.listing.clear();
        for (const auto& name : names) runner.listing += "device for " + name + ": pellbluetooth://" + name + "\n";
    }
    std::string consoleText() { return textOf(console); }
    bool printed(const std::string& line) { return consoleText().find(line + "\n") != std::string::npos; }
};

}  // namespace quorvel::test
