// Discovery while the BLE manager is after a named printer: printers without a queue are
// still offered to CUPS, those with one are neither offered nor connected.
#include "quorvel/BLEPrinterManager.h"
#include "quorvel/DiscoveryReporter.h"
#include "quorvel/PrinterQueueTracker.h"
#include "quorvel/ReplyChannel.h"
#include "quorvel/ScanRequester.h"

#include "ShellTestSupport.h"

#include "ble/sim/SimulatedCentral.h"

#include <gtest/gtest.h>

#include <set>

namespace quorvel {
namespace {

using namespace std::chrono_literals;

// The manager's collaborators, all on the test's main queue.
struct DiscoveryRig : PrinterQueueTracker, ReplyChannel, DiscoveryReporter, ScanRequester {
    explicit DiscoveryRig(std::vector<std::string> names) {
        ble::sim::SimulatedRadioSettings settings;
        for (auto& name : names)
            settings.printers.push_back({std::move(name), {}});
        settings.advertisingInterval = 10ms;
        central = ble::sim::SimulatedCentral::create(io, std::move(settings));
        manager = std::make_shared<BLEPrinterManager>([this] { return central; }, io, log, console);
        manager->attach(*this, *this, *this, *this);
    }
    ~DiscoveryRig() override {
        manager.reset();
        central.reset();
        std::fclose(console);
    }
    bool isPrinterAdded(const std::string& name) override { return queues.count(name) > 0; }
    void setPrinterOnline(const std::optional<std::string>&) override {}
    void setPrinterOffline(const std::string&) override {}
    void checkPrinterLoop() override {}
    void stopCheckLoop() override {}
    void writeMessage(const std::string&) override {}
    void stopReading() override {}
    void startBroadcasting(const std::string& name) override { reports.push_back(name); }
    void stopBroadcasting() override {}
    void startScan() override { manager->startScan(); }
    bool runUntil(const std::function<bool()>& condition) {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (!condition() && std::chrono::steady_clock::now() < end)
            io.run_one_for(5ms);
        return condition();
    }
    std::size_t reportsOf(const std::string& name) const {
        return static_cast<std::size_t>(std::count(reports.begin(), reports.end(), name));
    }

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(io);
    shelltest::RecordingLog log;
    std::FILE* console = std::tmpfile();
    std::set<std::string> queues;
    std::vector<std::string> reports;
    std::shared_ptr<ble::sim::SimulatedCentral> central;
    std::shared_ptr<BLEPrinterManager> manager;
};

TEST(DiscoveryWhileNamed, PrintersWithoutAQueueAreReportedWhateverTheDeviceName) {
    DiscoveryRig rig({"KRV38-A1", "QMT53-9", "HM_B58-1"});
    rig.queues = {"KRV38-A1", "HM_B58-1"};
    rig.manager->setDeviceName("KRV38-A1");
    rig.manager->requestBluetoothAccess();
    ASSERT_TRUE(rig.runUntil([&] { return rig.manager->isConnected("KRV38-A1"); }));
    ASSERT_EQ(rig.manager->deviceName(), "KRV38-A1");

    rig.reports.clear();
    rig.manager->startScan();  // a device listing
    ASSERT_TRUE(rig.runUntil([&] { return rig.reportsOf("QMT53-9") >= 2; }));
    EXPECT_EQ(rig.reportsOf("HM_B58-1"), 0u);
    EXPECT_FALSE(rig.manager->isConnected("HM_B58-1"));  // only the named printer is connected
    EXPECT_TRUE(rig.manager->isScanning());
    EXPECT_TRUE(rig.manager->isConnected("KRV38-A1"));
}

}  // namespace
}  // namespace quorvel
