// The orchestrator: hex text, spool paths, device switches, forwarded job files and the jobs
// kept until their printer is connected.
#include "quorvel/PellBluetoothBackend.h"

#include "ShellTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

namespace quorvel {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(HexStringToData, DecodesPairsAsASignedNumberParserReadsThem) {
    EXPECT_EQ(PellBluetoothBackend::hexStringToData("1b40"), (Bytes{0x1B, 0x40}));
    EXPECT_EQ(PellBluetoothBackend::hexStringToData("1B4"), (Bytes{0x1B}));  // lone last character dropped
    EXPECT_EQ(PellBluetoothBackend::hexStringToData(""), Bytes{});
    EXPECT_EQ(PellBluetoothBackend::hexStringToData("ffFF00"), (Bytes{0xFF, 0xFF, 0x00}));
    EXPECT_EQ(PellBluetoothBackend::hexStringToData("+f"), (Bytes{0x0F}));
    EXPECT_EQ(PellBluetoothBackend::hexStringToData("-0"), (Bytes{0x00}));
    EXPECT_EQ(PellBluetoothBackend::hexStringToData("1b+f-0"), (Bytes{0x1B, 0x0F, 0x00}));
}

TEST(HexStringToData, FailsOnAnyPairThatIsNoByte) {
    for (const char* text : {"1g", "-1", "+-", "f+", "1b 4", "0x", "é0", "1b4g"})
        EXPECT_FALSE(PellBluetoothBackend::hexStringToData(text).has_value()) << text;
    // A character of several bytes counts as one: as a lone last character it is dropped.
    EXPECT_EQ(PellBluetoothBackend::hexStringToData("1bé"), (Bytes{0x1B}));
}

TEST(SpoolFilePath, FormatsTheJobIdWithFiveDigits) {
    EXPECT_EQ(PellBluetoothBackend::spoolFilePath("/s", "42"), "/s/d00042-001");
    EXPECT_EQ(PellBluetoothBackend::spoolFilePath("/s", "123456"), "/s/d123456-001");
    EXPECT_EQ(PellBluetoothBackend::spoolFilePath("/s", "+7"), "/s/d00007-001");
    EXPECT_EQ(PellBluetoothBackend::spoolFilePath("/s", "abc"), "/s/d00000-001");
    EXPECT_EQ(PellBluetoothBackend::spoolFilePath("/s", "12x"), "/s/d00000-001");
    EXPECT_EQ(PellBluetoothBackend::spoolFilePath("/s", ""), "/s/d00000-001");
    EXPECT_EQ(PellBluetoothBackend::spoolFilePath("/s", "../../etc"), "/s/d00000-001");
}

struct RecordingReporter : DiscoveryReporter {
    std::vector<std::string> reports;
    int stops = 0;
    void startBroadcasting(const std::string& name) override { reports.push_back(name); }
    void stopBroadcasting() override { ++stops; }
};

// An orchestrator over a BLE manager with no radio: nothing ever connects, so every job is kept.
struct OrchestratorRig {
    shelltest::TempFolder root;
    shelltest::RecordingLog log;
    asio::io_context mainQueue;
    std::shared_ptr<BLEPrinterManager> manager =
        std::make_shared<BLEPrinterManager>(nullptr, mainQueue, log, nullptr);
    RecordingReporter reporter;
    PellBluetoothBackend backend{*manager, reporter, log, {root / "spool", root / "Users"}};

    OrchestratorRig() {
        std::filesystem::create_directories(root.path() / "spool");
        std::filesystem::create_directories(root.path() / "Users" / "alice");
        std::filesystem::create_directories(root.path() / "etc");
    }
    void write(const std::string& relative, const std::string& text) {
        std::ofstream(root.path() / relative, std::ios::binary) << text;
    }
    std::vector<std::string> forward(const std::string& jobId, const std::string& filePath) {
        backend.performStart({"pellbluetooth://P1", jobId, "alice", "doc", "1", filePath});
        return backend.waitingJobPrinters();
    }
};

TEST(CheckBleMgr, SwitchesTheManagerOnlyForANewName) {
    OrchestratorRig rig;
    rig.backend.checkBleMgr("P1");
    EXPECT_EQ(rig.manager->deviceName(), "P1");
    EXPECT_TRUE(rig.log.has("创建新的 BLEPrinterManager 实例，设备名称: P1"));

    rig.backend.checkBleMgr("P1");
    rig.backend.checkBleMgr(std::nullopt);
    EXPECT_EQ(rig.manager->deviceName(), "P1");
    auto lines = rig.log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "使用现有的 BLEPrinterManager 实例，设备名称: P1"), 2);

    rig.backend.checkBleMgr("P2");
    EXPECT_EQ(rig.manager->deviceName(), "P2");
    EXPECT_TRUE(rig.log.has("创建新的 BLEPrinterManager 实例，设备名称: P2"));
}

TEST(PerformStart, ShortVectorWithADeviceUriScansForThatDevice) {
    OrchestratorRig rig;
    rig.backend.performStart({"pellbluetooth://P1"});
    EXPECT_EQ(rig.backend.deviceName(), "P1");
    EXPECT_EQ(rig.manager->deviceName(), "P1");
    EXPECT_TRUE(rig.log.has("Starting pellbluetooth isScanning deviceName P1"));

    rig.backend.performStart({"usb://X", "1", "2"});
    EXPECT_EQ(rig.backend.deviceName(), "P1");
    EXPECT_TRUE(rig.log.has("Starting pellbluetooth backend... arguments: usb://X, 1, 2"));
}

TEST(PrintJob, ReadsTheSpoolFileOfTheJobIdAndKeepsTheJobForItsPrinter) {
    OrchestratorRig rig;
    rig.write("spool/d00042-001", "1b40");
    EXPECT_EQ(rig.forward("42", "/var/tmp/elsewhere"), std::vector<std::string>{"P1"});
    EXPECT_TRUE(rig.log.has("print jobId 42; filePath " + (rig.root / "spool/d00042-001")));
    EXPECT_TRUE(rig.log.has("ble is not connected, pls connect it first"));
    // The manager was after no printer yet when the job came.
    EXPECT_TRUE(rig.log.has("do print   data: 4"));
}

TEST(PrintJob, ReadsAFileUnderUsers) {
    OrchestratorRig rig;
    rig.write("Users/alice/job", "1b40");
    EXPECT_EQ(rig.forward("7", "/Users/alice/job"), std::vector<std::string>{"P1"});
    EXPECT_TRUE(rig.log.has("File Path: " + (rig.root / "Users/alice/job")));
}

TEST(PrintJob, RefusesAPathThatLeadsOutOfUsers) {
    OrchestratorRig rig;
    rig.write("etc/shadow", "secret");
    std::filesystem::create_symlink(rig.root.path() / "etc", rig.root.path() / "Users/alice/link");
    for (const char* path : {"/Users/../etc/shadow", "/Users/alice/../../etc/shadow", "/Users/alice/link/shadow",
                             "/Users/", "/Users/nobody/../../etc/shadow"}) {
        EXPECT_TRUE(rig.forward("1", path).empty()) << path;
        EXPECT_TRUE(rig.log.has(std::string("Refused to read ") + path + ": it does not lie under /Users/")) << path;
    }
    EXPECT_FALSE(rig.log.hasPrefix("do print"));
}

TEST(PrintJob, UnreadableFileIsLoggedAndNothingIsKept) {
    OrchestratorRig rig;
    std::filesystem::create_directories(rig.root.path() / "Users/alice/dir");
    EXPECT_TRUE(rig.forward("1", "/Users/alice/missing").empty());
    EXPECT_TRUE(rig.forward("1", "/Users/alice/dir").empty());
    EXPECT_TRUE(rig.log.has("无法读取打印数据文件"));
    EXPECT_TRUE(rig.forward("1", "/Users/alice/../alice/missing").empty());
}

TEST(DoPrint, AJobForAnUnconnectedPrinterIsKeptAndALaterOneReplacesIt) {
    OrchestratorRig rig;
    rig.backend.setDeviceName("P1");
    rig.backend.doPrint("1b40");
    rig.backend.doPrint("1b41");
    rig.backend.setDeviceName("P2");
    rig.backend.doPrint("00");
    EXPECT_EQ(rig.backend.waitingJobPrinters(), (std::vector<std::string>{"P1", "P2"}));
    EXPECT_TRUE(rig.log.has("A job waiting for P1 is replaced by a later one"));
    EXPECT_TRUE(rig.log.has("Job kept until P1 is connected"));
}

TEST(DoPrint, AJobWithoutAPrinterNameIsDroppedWithALogLine) {
    OrchestratorRig rig;
    rig.backend.doPrint("1b40");
    EXPECT_TRUE(rig.backend.waitingJobPrinters().empty());
    EXPECT_TRUE(rig.log.has("Job dropped: no printer named for it"));
}

TEST(Broadcasting, OnlyTheFirstReportUntilStopped) {
    OrchestratorRig rig;
    rig.backend.startBroadcasting("usbA");
    rig.backend.startBroadcasting("usbB");
    rig.backend.stopBroadcasting();
    rig.backend.stopBroadcasting();
    rig.backend.startBroadcasting("usbC");
    EXPECT_EQ(rig.reporter.reports, (std::vector<std::string>{"usbA", "usbC"}));
    EXPECT_EQ(rig.reporter.stops, 1);
}

}  // namespace
}  // namespace quorvel
