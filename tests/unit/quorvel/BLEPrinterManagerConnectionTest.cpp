// The BLE manager on the simulated radio: radio state, discovery rules (also while it is after
// a named printer, and the whitelist's prefix test), connecting, reconnecting, losing printers.
#include "ManagerRig.h"

#include "quorvel/PellBluetoothBackend.h"
#include "quorvel/Whitelist.h"

#include <gtest/gtest.h>

namespace quorvel::test {
namespace {

using Names = std::vector<std::string>;

TEST(BLEPrinterManagerConnection, NamedDeviceIsMatchedAsAPrefixAfterTheWhitelist) {
    ManagerRig rig({printer("HM_B58-02")});
    rig.central->addAdvertiser("XHM_B58");
    rig.manager->setDeviceName("HM_B58");
    // Setting the queue online takes a while; a queue-list pass asking meanwhile to connect
    // the printer must find it connected already.
    std::optional<std::string> nameWhileGoingOnline;
    bool connectedWhileGoingOnline = false;
    rig.onOnline = [&] {
        nameWhileGoingOnline = rig.manager->deviceName();
        connectedWhileGoingOnline = rig.manager->isConnected("HM_B58-02");
    };
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->writeWithoutRspCht() != nullptr; }));
    for (const char* line : {"开始扫描 BLE 设备...。。。HM_B58", "Found printer: HM_B58-02", "Connected to HM_B58-02"})
        EXPECT_TRUE(rig.logger.contains(line)) << line;
    EXPECT_FALSE(rig.logger.contains("Found device: XHM_B58"));  // no model begins it
    EXPECT_EQ(rig.manager->deviceName(), "HM_B58-02");                 // the full name from now on
    EXPECT_EQ(rig.online.all(), Names{"HM_B58-02"});
    EXPECT_EQ(nameWhileGoingOnline, "HM_B58-02");
    EXPECT_TRUE(connectedWhileGoingOnline);
    EXPECT_FALSE(rig.manager->isScanning());
    EXPECT_EQ(rig.scans, 1);
    EXPECT_EQ(rig.loops.all(), Names{"check"});
    // FF03 is the last notifying characteristic.
    EXPECT_EQ(rig.manager->writeWithoutRspCht()->uuid().text() + rig.manager->creditCharacteristic()->uuid().text() +
                  rig.manager->writeCht()->uuid().text(),
              "FF02FF03FF01");
}

// Names that hide characters or run past 248 bytes are never offered.
TEST(BLEPrinterManagerConnection, PrintersWithoutQueueAreReportedAtEachAdvertisementOnesWithAQueueConnected) {
    ManagerRig rig({printer("QMT53-A"), printer("QMT53-B"), printer("QMT53-\u202eC"), printer("QMT53-" + std::string(243, 'D'))});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.reports.count("QMT53-A") >= 3 && rig.reports.count("QMT53-B") >= 3; }));
    EXPECT_TRUE(rig.logger.contains("Printer name refused: the name holds the control or invisible character U+202E"));
    EXPECT_TRUE(rig.logger.contains("Printer name refused: the name is 249 bytes long, over the limit of 248"));
    EXPECT_EQ(rig.reports.size(), rig.reports.count("QMT53-A") + rig.reports.count("QMT53-B"));
    EXPECT_EQ(rig.manager->discoveredDeviceNames().size(), 2u);  // listed once each
    EXPECT_TRUE(rig.logger.contains("BLE Broadcasting printer: QMT53-A to pellblutooth backend"));
    EXPECT_FALSE(rig.manager->hasPrinterPeripheral());
    // A scan started while one runs first reports what the running one found.
    const auto before = rig.reports.size();
    rig.manager->startScan();
    EXPECT_EQ(rig.reports.size(), before + 2);
    EXPECT_TRUE(rig.manager->discoveredDeviceNames().empty());
    rig.queues.add("QMT53-B");
    ASSERT_TRUE(rig.waitUntil([&] { return rig.logger.contains("打印机存在列表,连接"); }));
    // The queue-list pass asks for the same printer while its connection is coming up: the
    // link is kept, not dropped and made again (which set the queue offline on the way).
    PrinterJobs& jobs = rig.withJobs({});
    PellBluetoothBackend orchestrator(*rig.manager, rig, rig.logger, {"/nowhere", "/nowhere"}, jobs, rig.io);
    EXPECT_TRUE(orchestrator.startConnect("QMT53-B"));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->isConnected("QMT53-B"); }));
    rig.runFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(rig.offline.all().empty());
    EXPECT_EQ(rig.online.all(), Names{"QMT53-B"});
    EXPECT_FALSE(rig.manager->isConnected("QMT53-A"));
}

// Whatever printer the manager is after, every printer with a queue gets a link of its own, up
// to the radio's few; printers without a queue are still offered to CUPS.
TEST(BLEPrinterManagerConnection, EveryPrinterWithAQueueGetsItsOwnLinkUpToTheLimitAndTheRestAreReported) {
    const Names queued = {"KRV38-A1", "HM_B58-1", "HM_B58-2", "HM_B58-3", "HM_B58-4"};
    std::vector<ble::sim::SimulatedPrinter> printers = {printer("QMT53-9")};
    for (const std::string& name : queued) {
        printers.push_back(printer(name));
    }
    ManagerRig rig(printers);
    for (const std::string& name : queued) rig.queues.add(name);
    rig.manager->setDeviceName("KRV38-A1");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->connectedDeviceNames().size() == kMaxLinks; }));
    ASSERT_TRUE(rig.logged("Connection to HM_B58-4 refused: 4 printers are linked or being connected already"));
    const auto before = rig.reports.count("QMT53-9");
    rig.manager->startScan();  // a device listing
    ASSERT_TRUE(rig.waitUntil([&] { return rig.reports.count("QMT53-9") >= before + 2; }));
    EXPECT_TRUE(rig.manager->isScanning());
    EXPECT_TRUE(rig.manager->isConnected("KRV38-A1"));
    EXPECT_EQ(rig.manager->connectedDeviceNames().size(), kMaxLinks);
    EXPECT_TRUE(rig.offline.all().empty());
}

TEST(BLEPrinterManagerConnection, ConnectWantsTheExactNameAndFallsBackOnTheConnectedTable) {
    ManagerRig rig({printer("QMT53-A1"), printer("QMT53-A")});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->discoveredDeviceNames().size() == 2; }));
    rig.manager->stopScan();
    EXPECT_TRUE(rig.manager->connect("QMT53-A"));
    EXPECT_TRUE(rig.logger.contains("device QMT53-A not equals to scan device QMT53-A1"));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->isConnected("QMT53-A"); }));
    EXPECT_FALSE(rig.manager->connect("QMT53"));
    EXPECT_TRUE(rig.logger.contains("device QMT53 not fount at discoveredDevices"));
    // A restarted scan empties the list; the connected printer is found in the connected table.
    rig.manager->setDeviceName("nothing-advertises-this");
    rig.manager->startScan();
    EXPECT_TRUE(rig.manager->connect("QMT53-A"));
    EXPECT_EQ(rig.logger.count("discovereds device connect QMT53-A"), 2u);
}

TEST(BLEPrinterManagerConnection, ReConnectDisconnectsAndFailuresKeepTheTablesAndQueueStateTrue) {
    ManagerRig rig({printer("QMT53-A")});
    rig.central->failNextConnection("QMT53-A");
    rig.manager->setDeviceName("QMT53-A");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.offline.contains("QMT53-A"); }));
    EXPECT_NE(rig.consoleText().find("Failed to connect to peripheral: QMT53-A, error: "), std::string::npos);
    EXPECT_FALSE(rig.manager->reConnect(std::nullopt));
    EXPECT_FALSE(rig.manager->reConnect("QMT53-A"));
    EXPECT_TRUE(rig.logger.contains("打印机外设为空，无法连接。"));

    ASSERT_TRUE(rig.connectNamed("QMT53-A"));
    EXPECT_TRUE(rig.manager->reConnect("QMT53-A"));
    const auto device = rig.central->device("QMT53-A");
    rig.central->dropLink("QMT53-A");
    // One handler at a time: the link is down before its disconnect callback has run, so
    // the printer is still in the table and reConnect asks for it again.
    while (device->state() == ble::PeripheralState::connected) rig.io.run_one();
    EXPECT_TRUE(rig.manager->reConnect("QMT53-A"));
    EXPECT_TRUE(rig.logger.contains("打印机再次连接。"));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.online.size() == 2 && rig.manager->isConnected("QMT53-A"); }));

    rig.central->dropLink("QMT53-A");
    ASSERT_TRUE(rig.waitUntil([&] { return rig.offline.size() == 3; }));
    EXPECT_FALSE(rig.manager->hasPrinterPeripheral());
    EXPECT_TRUE(rig.manager->connectedDeviceNames().empty());
    EXPECT_NE(rig.consoleText().find("Disconnected from peripheral: QMT53-A, error: "), std::string::npos);
    EXPECT_FALSE(rig.manager->reConnect("QMT53-A"));  // the table lost it with the link
}

TEST(BLEPrinterManagerConnection, PowerOffStopsTheQueueLoopAndPowerOnScansAgain) {
    ManagerRig rig({printer("QMT53-A")});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed("QMT53-A"));
    rig.central->setPowered(false);
    ASSERT_TRUE(rig.logged("Bluetooth is powered off."));
    EXPECT_EQ(rig.loops.all(), (Names{"check", "stop"}));
    EXPECT_TRUE(rig.offline.contains("QMT53-A"));
    EXPECT_FALSE(rig.manager->hasPrinterPeripheral());
    rig.manager->startScan();
    EXPECT_TRUE(rig.logger.contains("Bluetooth is not powered on."));
    rig.central->setPowered(true);
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->isConnected("QMT53-A"); }));
    // Asking for access again brought the powered-off report once more.
    EXPECT_EQ(rig.loops.all(), (Names{"check", "stop", "stop", "check"}));
    EXPECT_GE(rig.scans, 2);
}

TEST(Whitelist, MatchesTheFirstRowThatBeginsTheName) {
    // An earlier, shorter row wins over a later, longer one; a model contained but not at the
    // start, in another case, or not in the HM_ form of the agent's list does not match.
    const std::vector<std::pair<std::string, std::string>> prefixes = {
        {"QMT53H-01", "QMT53"}, {"BX940-7", "BX9"}, {"HM_E7S12", "HM_E7S"}, {"YF-316-0A12", "YF-316"},
        {"XQMT53", ""},         {"qmt53", ""},      {"ZOR21", ""},          {"", ""}};
    for (const auto& [name, prefix] : prefixes) EXPECT_EQ(whitelistPrefixOf(name), prefix) << name;
}

}  // namespace
}  // namespace quorvel::test
