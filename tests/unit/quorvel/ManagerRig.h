// A BLE printer manager on the simulated radio, with fakes for everything it reports to.
#pragma once

#include "ble/sim/PrinterOutput.h"
#include "ble/sim/SimulatedCentral.h"
#include "quorvel/BLEPrinterManager.h"
#include "quorvel/DiscoveryReporter.h"
#include "quorvel/Logger.h"
#include "quorvel/PrinterQueueTracker.h"
#include "quorvel/ReplyChannel.h"
#include "quorvel/ScanRequester.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace quorvel::test {

// Thread-safe list of strings, for the fakes' records.
class Lines {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::size_t count(const std::string& line) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(lines_.begin(), lines_.end(), line));
    }
    bool contains(const std::string& line) const { return count(line) > 0; }
    bool containsPrefix(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) { return line.starts_with(prefix); });
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return lines_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class CollectingLogger : public Logger {
public:
    CollectingLogger() = default;
    void log(std::string_view message) override { lines.add(std::string(message)); }
    Lines lines;
};

class FakeTracker : public PrinterQueueTracker {
public:
    bool isPrinterAdded(const std::string& name) override {
        std::lock_guard lock(mutex_);
        return queues.count(name) > 0;
    }
    void setPrinterOnline(const std::optional<std::string>& name) override {
        online.add(name.value_or("<none>"));
        if (onOnline) onOnline();
    }
    void setPrinterOffline(const std::string& name) override { offline.add(name); }
    void checkPrinterLoop() override { loops.add("check"); }
    void stopCheckLoop() override { loops.add("stop"); }
    void addQueue(const std::string& name) {
        std::lock_guard lock(mutex_);
        queues.insert(name);
    }

    Lines online, offline, loops;
    std::function<void()> onOnline;  // main queue, inside the connected callback

private:
    std::mutex mutex_;
    std::set<std::string> queues;
};

class FakeReply : public ReplyChannel {
public:
    void writeMessage(const std::string& message) override {
        messages.add(message);
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }
    void stopReading() override { stops.add("stop"); }
    // For threads other than the main queue's: waits until `message` has been written
    // `count` times.
    bool waitFor(const std::string& message, std::size_t count, std::chrono::seconds deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return messages.count(message) >= count; });
    }
    Lines messages, stops;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

class FakeReporter : public DiscoveryReporter {
public:
    void startBroadcasting(const std::string& name) override { reports.add(name); }
    void stopBroadcasting() override { stops.add("stop"); }
    Lines reports, stops;
};

// Plays the orchestrator's part on power-on: a scan for the manager's device name.
class FakeScanRequester : public ScanRequester {
public:
    void startScan() override {
        ++scans;
        if (manager) manager->startScan();
    }
    BLEPrinterManager* manager = nullptr;
    int scans = 0;  // main queue only
};

inline ble::sim::SimulatedPrinter printer(std::string name, ble::sim::PrinterSettings settings = {}) {
    return {std::move(name), settings};
}

class ManagerRig {
public:
    explicit ManagerRig(std::vector<ble::sim::SimulatedPrinter> printers) {
        std::string pattern = (std::filesystem::temp_directory_path() / "pb-mgr-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) folder_ = pattern;
        ble::sim::SimulatedRadioSettings settings;
        settings.printers = std::move(printers);
        settings.outputFolder = folder_;
        settings.advertisingInterval = std::chrono::milliseconds(10);
        central = ble::sim::SimulatedCentral::create(io, std::move(settings));
        manager = std::make_shared<BLEPrinterManager>([this] { return central; }, io, logger, console);
        manager->attach(scanRequester, tracker, reply, reporter);
        scanRequester.manager = manager.get();
    }
    ~ManagerRig() {
        manager.reset();
        central.reset();
        std::fclose(console);
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }

    // Runs the main queue until `condition` holds; false at the deadline.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            io.run_one_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    // Runs the main queue for a while, for checks that something does not happen.
    void runFor(std::chrono::milliseconds duration) {
        waitUntil([] { return false; }, duration);
    }
    bool logged(const std::string& line) { return waitUntil([&] { return logger.lines.contains(line); }); }

    // Powers the manager up; the power-on report starts a scan for the manager's device name.
    bool start() {
        manager->requestBluetoothAccess();
        return waitUntil([&] { return manager->isScanning(); });
    }
    // Names a printer and waits until its link is settled and its first reports are in.
    bool connectNamed(const std::string& name) {
        manager->setDeviceName(name);
        if (!manager->isScanning()) manager->startScan();
        return waitUntil([&] {
            return manager->isConnected(name) && manager->writeWithoutRspCht() != nullptr &&
                   logger.lines.containsPrefix("Printer update mtu [");
        });
    }
    void grant(const std::string& name, std::uint8_t credits) {
        central->notify(name, ble::sim::PrinterGatt::credit(), {0x01, credits});
    }
    std::vector<std::uint8_t> printed(const std::string& name) {
        std::ifstream in(folder_ / ble::sim::folderNameForPrinter(name) / ble::sim::kStreamFileName, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string consoleText() {
        std::fflush(console);
        std::rewind(console);
        std::string text;
        for (int c = std::fgetc(console); c != EOF; c = std::fgetc(console)) text.push_back(static_cast<char>(c));
        return text;
    }

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(io);
    CollectingLogger logger;
    FakeTracker tracker;
    FakeReply reply;
    FakeReporter reporter;
    FakeScanRequester scanRequester;
    std::FILE* console = std::tmpfile();
    std::shared_ptr<ble::sim::SimulatedCentral> central;
    std::shared_ptr<BLEPrinterManager> manager;

private:
    std::filesystem::path folder_;
};

}  // namespace quorvel::test
