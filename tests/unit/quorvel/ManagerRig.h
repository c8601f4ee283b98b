// A BLE printer manager on the simulated radio; the rig itself stands in for everything the
// manager reports to, and records what it hears.
#pragma once

#include "ble/sim/PrinterOutput.h"
#include "ble/sim/SimulatedCentral.h"
#include "quorvel/BLEPrinterManager.h"
#include "quorvel/DiscoveryReporter.h"
#include "quorvel/PrinterJobs.h"
#include "quorvel/PrinterQueueTracker.h"
#include "quorvel/ScanRequester.h"

#include "ShellTestSupport.h"

namespace quorvel::test {

inline ble::sim::SimulatedPrinter printer(std::string name, ble::sim::PrinterSettings settings = {}) {
    return {std::move(name), settings};
}

class ManagerRig : public PrinterQueueTracker, public ReplyChannel, public DiscoveryReporter, public ScanRequester {
public:
    explicit ManagerRig(std::vector<ble::sim::SimulatedPrinter> printers) {
        ble::sim::SimulatedRadioSettings settings;
        settings.printers = std::move(printers);
        settings.outputFolder = folder_.path;
        settings.advertisingInterval = std::chrono::milliseconds(10);
        central = ble::sim::SimulatedCentral::create(io, std::move(settings));
        manager = std::make_shared<BLEPrinterManager>([this] { return central; }, io, logger, console);
        manager->attach(*this, *this, *this);
        manager->setJobEndCallback([this](const JobEnd& end) { ends.add(describe(end)); });
    }
    ~ManagerRig() override {
        jobs.reset();
        manager.reset();
        central.reset();
        std::fclose(console);
    }

    // The manager's collaborators. The power-on scan request plays the orchestrator's part:
    // a scan for the manager's device name.
    bool isPrinterAdded(const std::string& name) override { return queues.contains(name); }
    void setPrinterOnline(const std::optional<std::string>& name) override {
        online.add(name.value_or("<none>"));
        if (onOnline) onOnline();
    }
    void setPrinterOffline(const std::string& name) override { offline.add(name); }
    void checkPrinterLoop() override { loops.add("check"); }
    void stopCheckLoop() override { loops.add("stop"); }
    bool waitsForPrinters() override {
        for (const std::string& name : queues.all())
            if (!manager->isConnected(name)) return true;
        return false;
    }
    void writeMessage(const std::string& message) override { replies.add(message); }
    void stopReading() override {}
    void dropStatusReplies() override { replies.add("<dropped>"); }
    void startBroadcasting(const std::string& name) override { reports.add(name); }
    void stopBroadcasting() override {}
    void startScan() override { ++scans, manager->startScan(); }

    // "finished 3 QMT53-A": how a job ended, as the manager reports it.
    static std::string describe(const JobEnd& end) {
        static const char* const kinds[] = {"finished", "failed", "cancelled", "notSent", "linkFree"};
        return std::string(kinds[static_cast<int>(end.kind)]) + " " + std::to_string(end.jobId) + " " + end.printer;
    }
    static std::shared_ptr<const JobBytes> job(JobBytes bytes) { return std::make_shared<const JobBytes>(std::move(bytes)); }
    // The agent's job queues on top of the manager, wired as the program wires them, with
    // waits short enough for a test.
    PrinterJobs& withJobs(PrinterJobs::Timing timing) {
        jobs = std::make_unique<PrinterJobs>(
            PrinterJobs::Collaborators{*manager, *this, logger, io, [this] {
                                           if (!manager->isScanning()) manager->startScan();
                                       }},
            timing);
        manager->setJobEndCallback([this](const JobEnd& end) {
            ends.add(describe(end));
            jobs->jobEnded(end);
        });
        manager->setWantedPrinter([this](const std::string& name) { return jobs->wantsPrinter(name); });
        manager->setCallback([this](std::shared_ptr<ble::Characteristic>, const std::optional<std::string>& name) {
            if (name) jobs->linkReady(*name);
        });
        return *jobs;
    }

    // Runs the main queue until `condition` holds; false at the deadline.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        for (; !condition(); io.run_one_for(std::chrono::milliseconds(5)))
            if (std::chrono::steady_clock::now() >= end) return false;
        return true;
    }
    // Runs the main queue for a while, for checks that something does not happen.
    void runFor(std::chrono::milliseconds duration) { waitUntil([] { return false; }, duration); }
    bool logged(const std::string& line) { return waitUntil([&] { return logger.contains(line); }); }
    // Powers the manager up; the power-on report starts a scan for the manager's device name.
    bool start() {
        manager->requestBluetoothAccess();
        return waitUntil([&] { return manager->isScanning(); });
    }
    // Names a printer and waits until its link is settled and its MTU report is in.
    bool connectNamed(const std::string& name, int mtu = 182) {
        manager->setDeviceName(name);
        if (!manager->isScanning()) manager->startScan();
        return waitUntil([&] { return manager->isConnected(name) && manager->writeWithoutRspCht(); }) &&
               logged("Printer update mtu [" + std::to_string(mtu) + "]");
    }
    void grant(const std::string& name, std::uint8_t credits) {
        central->notify(name, ble::sim::PrinterGatt::credit(), {0x01, credits});
    }
    ble::Bytes printed(const std::string& name) {
        const std::string text =
            readFile(folder_.path / ble::sim::folderNameForPrinter(name) / ble::sim::kStreamFileName);
        return {text.begin(), text.end()};
    }
    bool printedAtLeast(const std::string& name, std::size_t size) {
        return waitUntil([&] { return printed(name).size() >= size; });
    }
    std::string consoleText() { return textOf(console); }

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(io);
    RecordingLog logger;
    Lines queues, online, offline, loops, replies, reports, ends;
    std::function<void()> onOnline;  // main queue, inside the connected callback
    int scans = 0;                   // main queue only
    std::FILE* console = std::tmpfile();
    std::shared_ptr<ble::sim::SimulatedCentral> central;
    std::shared_ptr<BLEPrinterManager> manager;
    std::unique_ptr<PrinterJobs> jobs;

private:
    TempFolder folder_;  // the simulated printers' output
};

}  // namespace quorvel::test
