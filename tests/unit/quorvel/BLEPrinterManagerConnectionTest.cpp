// The BLE manager on the simulated radio: radio state, discovery rules, connecting,
// reconnecting and losing printers.
#include "ManagerRig.h"

#include <gtest/gtest.h>

namespace quorvel::test {
namespace {

using namespace std::chrono_literals;

TEST(BLEPrinterManagerConnection, NamedDeviceIsMatchedAsAPrefixAfterTheWhitelist) {
    ManagerRig rig({printer("HM_B58-02")});
    rig.central->addAdvertiser("XHM_B58");
    rig.manager->setDeviceName("HM_B58");
    ASSERT_TRUE(rig.start());
    EXPECT_TRUE(rig.logger.lines.contains("开始扫描 BLE 设备...。。。HM_B58"));

    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->isConnected("HM_B58-02"); }));
    EXPECT_TRUE(rig.logger.lines.contains("Found device: HM_B58-02"));
    EXPECT_TRUE(rig.logger.lines.contains("Found printer: HM_B58-02"));
    EXPECT_TRUE(rig.logger.lines.contains("Connected to HM_B58-02"));
    EXPECT_FALSE(rig.logger.lines.contains("Found device: XHM_B58"));  // no model begins it
    EXPECT_EQ(rig.manager->deviceName(), "HM_B58-02");                 // the full name from now on
    EXPECT_EQ(rig.tracker.online.all(), std::vector<std::string>{"HM_B58-02"});
    EXPECT_FALSE(rig.manager->isScanning());
    EXPECT_EQ(rig.scanRequester.scans, 1);
    EXPECT_EQ(rig.tracker.loops.all(), std::vector<std::string>{"check"});
    EXPECT_TRUE(rig.waitUntil([&] { return rig.manager->writeWithoutRspCht() != nullptr; }));
    EXPECT_EQ(rig.manager->writeWithoutRspCht()->uuid().text(), "FF02");
    EXPECT_EQ(rig.manager->creditCharacteristic()->uuid().text(), "FF03");  // the last notifying one
    EXPECT_EQ(rig.manager->writeCht()->uuid().text(), "FF01");
}

TEST(BLEPrinterManagerConnection, PrinterWithoutQueueIsReportedAtEachAdvertisementButListedOnce) {
    ManagerRig rig({printer("QMT53-A")});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.reporter.reports.size() >= 3; }));
    EXPECT_EQ(rig.manager->discoveredDeviceNames(), std::vector<std::string>{"QMT53-A"});
    EXPECT_GE(rig.logger.lines.count("broadcast device:  before"), 2u);
    EXPECT_TRUE(rig.logger.lines.contains("还在扫描阶段，如果存在QMT53-A打印机添加到列表，就连接。"));
    EXPECT_TRUE(rig.logger.lines.contains("BLE Broadcasting printer: QMT53-A to pellblutooth backend"));
    EXPECT_FALSE(rig.manager->hasPrinterPeripheral());

    // A scan started while one runs first reports what the running one found.
    const auto before = rig.reporter.reports.size();
    rig.manager->startScan();
    EXPECT_TRUE(rig.logger.lines.contains("Bluetooth is now scanning, broadcast the devices that been found"));
    EXPECT_EQ(rig.reporter.reports.size(), before + 1);
    EXPECT_TRUE(rig.manager->discoveredDeviceNames().empty());
}

TEST(BLEPrinterManagerConnection, PrinterWithQueueIsConnectedWhileTheScanGoesOn) {
    ManagerRig rig({printer("QMT53-A"), printer("QMT53-B")});
    rig.tracker.addQueue("QMT53-B");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->isConnected("QMT53-B"); }));
    EXPECT_TRUE(rig.logger.lines.contains("打印机存在列表,连接"));
    // The completed connection stops the scan; the other printer was only reported.
    EXPECT_FALSE(rig.manager->isConnected("QMT53-A"));
    EXPECT_TRUE(rig.reporter.reports.contains("QMT53-A"));
    EXPECT_FALSE(rig.reporter.reports.contains("QMT53-B"));
}

TEST(BLEPrinterManagerConnection, ConnectWantsTheExactNameAndFallsBackOnTheConnectedTable) {
    ManagerRig rig({printer("QMT53-A1"), printer("QMT53-A")});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->discoveredDeviceNames().size() == 2; }));
    rig.manager->stopScan();

    EXPECT_TRUE(rig.manager->connect("QMT53-A"));
    EXPECT_TRUE(rig.logger.lines.contains("device QMT53-A not equals to scan device QMT53-A1"));
    EXPECT_TRUE(rig.logger.lines.contains("discovereds device connect QMT53-A"));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->isConnected("QMT53-A"); }));

    EXPECT_FALSE(rig.manager->connect("QMT53"));
    EXPECT_TRUE(rig.logger.lines.contains("device QMT53 not fount at discoveredDevices"));

    // A restarted scan empties the list; the connected printer no longer advertises, yet
    // connect finds it in the connected table.
    rig.manager->setDeviceName("nothing-advertises-this");
    rig.manager->startScan();
    EXPECT_TRUE(rig.manager->connect("QMT53-A"));
    EXPECT_EQ(rig.logger.lines.count("discovereds device connect QMT53-A"), 2u);
}

TEST(BLEPrinterManagerConnection, ReConnectAndDisconnectsClearThePrinterAndMarkTheQueueOffline) {
    ManagerRig rig({printer("QMT53-A")});
    ASSERT_TRUE(rig.start());
    EXPECT_FALSE(rig.manager->reConnect(std::nullopt));
    EXPECT_TRUE(rig.logger.lines.contains("打印机name为空，无法连接。"));
    EXPECT_FALSE(rig.manager->reConnect("QMT53-A"));
    EXPECT_TRUE(rig.logger.lines.contains("打印机外设为空，无法连接。"));

    ASSERT_TRUE(rig.connectNamed("QMT53-A"));
    EXPECT_TRUE(rig.manager->reConnect("QMT53-A"));
    EXPECT_TRUE(rig.logger.lines.contains("打印机已经连接。"));

    rig.central->dropLink("QMT53-A");
    ASSERT_TRUE(rig.waitUntil([&] { return rig.tracker.offline.size() == 1; }));
    EXPECT_FALSE(rig.manager->hasPrinterPeripheral());
    EXPECT_TRUE(rig.manager->connectedDeviceNames().empty());
    EXPECT_NE(rig.consoleText().find("Disconnected from peripheral: QMT53-A, error: "), std::string::npos);
    EXPECT_FALSE(rig.manager->reConnect("QMT53-A"));  // the table lost it with the link

    // Connected again and stopped from our side.
    ASSERT_TRUE(rig.connectNamed("QMT53-A"));
    auto device = rig.central->device("QMT53-A");
    rig.manager->stopConnect();
    EXPECT_TRUE(rig.logger.lines.contains("stop connect QMT53-A"));
    EXPECT_FALSE(rig.manager->hasPrinterPeripheral());
    ASSERT_TRUE(rig.waitUntil([&] { return device->state() == ble::PeripheralState::disconnected; }));
    EXPECT_TRUE(rig.manager->connectedDeviceNames().empty());
}

TEST(BLEPrinterManagerConnection, ReConnectAsksAgainForAStoredPrinterWhoseLinkWentDown) {
    ManagerRig rig({printer("QMT53-A")});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed("QMT53-A"));
    auto device = rig.central->device("QMT53-A");
    rig.central->dropLink("QMT53-A");
    // One handler at a time: the link is down before its disconnect callback has run, so
    // the printer is still in the table.
    while (device->state() == ble::PeripheralState::connected) rig.io.run_one();
    ASSERT_EQ(rig.manager->connectedDeviceNames(), std::vector<std::string>{"QMT53-A"});
    EXPECT_TRUE(rig.manager->reConnect("QMT53-A"));
    EXPECT_TRUE(rig.logger.lines.contains("打印机再次连接。"));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.tracker.online.size() == 2; }));
    EXPECT_TRUE(rig.manager->isConnected("QMT53-A"));
    EXPECT_EQ(rig.tracker.offline.all(), std::vector<std::string>{"QMT53-A"});
}

TEST(BLEPrinterManagerConnection, StopConnectByNameDropsThatPrinterAndNoOther) {
    ManagerRig rig({printer("QMT53-A"), printer("QMT53-B")});
    rig.tracker.addQueue("QMT53-A");
    rig.tracker.addQueue("QMT53-B");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->isConnected("QMT53-A") && rig.manager->isConnected("QMT53-B"); }));
    const auto current = rig.manager->printerPeripheral();
    const std::string other = current->name() == "QMT53-A" ? "QMT53-B" : "QMT53-A";
    rig.manager->startScan();  // empties the discovered list
    rig.manager->stopConnect(other);
    EXPECT_TRUE(rig.logger.lines.contains("printerPeripheral not in discover devices, disconnect now"));
    ASSERT_TRUE(rig.waitUntil([&] { return rig.tracker.offline.contains(other); }));
    EXPECT_TRUE(rig.manager->isConnected(*current->name()));
    EXPECT_EQ(rig.manager->deviceName(), std::nullopt);

    // Without a current printer only the error line is written and the tables stay.
    rig.manager->stopConnect(*current->name());
    EXPECT_TRUE(rig.logger.lines.contains("stop connect error ,, printerPeripheral is null"));
    EXPECT_TRUE(rig.manager->isConnected(*current->name()));
}

TEST(BLEPrinterManagerConnection, PowerOffStopsTheQueueLoopAndPowerOnScansAgain) {
    ManagerRig rig({printer("QMT53-A")});
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed("QMT53-A"));
    rig.central->setPowered(false);
    ASSERT_TRUE(rig.logged("Bluetooth is powered off."));
    EXPECT_EQ(rig.tracker.loops.all(), (std::vector<std::string>{"check", "stop"}));
    EXPECT_FALSE(rig.manager->isScanning());
    EXPECT_TRUE(rig.tracker.offline.contains("QMT53-A"));
    EXPECT_FALSE(rig.manager->hasPrinterPeripheral());

    rig.manager->startScan();
    EXPECT_TRUE(rig.logger.lines.contains("Bluetooth is not powered on."));
    EXPECT_EQ(rig.logger.lines.count("Bluetooth requestBluetoothAccess"), 2u);

    rig.central->setPowered(true);
    ASSERT_TRUE(rig.waitUntil([&] { return rig.manager->isConnected("QMT53-A"); }));
    // Asking for access again brought the powered-off report once more.
    EXPECT_EQ(rig.tracker.loops.all(), (std::vector<std::string>{"check", "stop", "stop", "check"}));
    EXPECT_GE(rig.scanRequester.scans, 2);
}

TEST(BLEPrinterManagerConnection, FailedConnectionGoesToTheConsoleAndMarksTheQueueOffline) {
    ManagerRig rig({printer("QMT53-A")});
    rig.central->failNextConnection("QMT53-A");
    rig.manager->setDeviceName("QMT53-A");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.waitUntil([&] { return rig.tracker.offline.contains("QMT53-A"); }));
    EXPECT_NE(rig.consoleText().find("Failed to connect to peripheral: QMT53-A, error: "), std::string::npos);
    EXPECT_TRUE(rig.manager->connectedDeviceNames().empty());
}

}  // namespace
}  // namespace quorvel::test
