// The orchestrator and its command dispatcher: first words, hex text, spool paths, device
// switches, forwarded job files and the jobs kept until their printer is connected.
#include "quorvel/PellBluetoothBackend.h"
#include "quorvel/MessageDispatcher.h"

#include "ShellTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <numeric>

namespace quorvel::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

TEST(PellBluetoothBackend, HexTextDecodesPairsAsASignedNumberParserReadsThemAndSpoolNamesHoldTheJobId) {
    const std::pair<const char*, std::optional<Bytes>> cases[] = {
        {"1b40", Bytes{0x1B, 0x40}}, {"1B4", Bytes{0x1B}},  // lone last character dropped
        {"", Bytes{}}, {"ffFF00", Bytes{0xFF, 0xFF, 0x00}}, {"+f", Bytes{0x0F}}, {"-0", Bytes{0x00}},
        {"1b+f-0", Bytes{0x1B, 0x0F, 0x00}}, {"1bé", Bytes{0x1B}},  // a character of several bytes counts as one
        {"1g", std::nullopt}, {"-1", std::nullopt}, {"+-", std::nullopt}, {"f+", std::nullopt},
        {"1b 4", std::nullopt}, {"0x", std::nullopt}, {"é0", std::nullopt}, {"1b4g", std::nullopt}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(PellBluetoothBackend::hexStringToData(text), expected) << text;
    // A spool file's name holds the job id with five digits.
    const std::pair<const char*, const char*> spools[] = {
        {"42", "/s/d00042-001"}, {"123456", "/s/d123456-001"}, {"+7", "/s/d00007-001"}, {"abc", "/s/d00000-001"},
        {"12x", "/s/d00000-001"}, {"", "/s/d00000-001"}, {"../../etc", "/s/d00000-001"}};
    for (const auto& [jobId, path] : spools) EXPECT_EQ(PellBluetoothBackend::spoolFilePath("/s", jobId), path) << jobId;
}

struct RecordingReporter : DiscoveryReporter, Lines {
    int stops = 0;
    void startBroadcasting(const std::string& name) override { add(name); }
    void stopBroadcasting() override { ++stops; }
};

// An orchestrator over a BLE manager with no radio: nothing ever connects, so every job is kept.
struct OrchestratorRig {
    TempFolder root;
    RecordingLog log;
    asio::io_context mainQueue;
    std::shared_ptr<BLEPrinterManager> manager = std::make_shared<BLEPrinterManager>(nullptr, mainQueue, log, nullptr);
    RecordingReporter reporter;
    RecordingReplies replies;
    PrinterJobs jobs{{*manager, replies, log, mainQueue, [] {}}};
    PellBluetoothBackend backend{*manager, reporter, log, {root / "spool", root / "Users"}, jobs, mainQueue};

    OrchestratorRig() {
        for (const char* folder : {"spool", "Users/alice/dir", "etc"})
            std::filesystem::create_directories(root.path / folder);
    }
    void write(const std::string& relative, const std::string& text) {
        std::ofstream(root.path / relative, std::ios::binary) << text;
    }
    // The printers jobs wait for, once the handed-over jobs have reached the queues.
    Names waiting() {
        mainQueue.restart();
        mainQueue.poll();
        return jobs.waitingPrinters();
    }
    Names forward(const std::string& jobId, const std::string& filePath) {
        backend.performStart({"pellbluetooth://P1", jobId, "alice", "doc", "1", filePath});
        return waiting();
    }
};

TEST(PellBluetoothBackend, CheckBleMgrAndAShortVectorSwitchTheManagerOnlyForANewName) {
    OrchestratorRig rig;
    for (const auto& name : std::vector<std::optional<std::string>>{"P1", "P1", std::nullopt, "P2"}) {
        rig.backend.checkBleMgr(name);
        EXPECT_EQ(rig.manager->deviceName(), name.value_or("P1"));
    }
    EXPECT_EQ(rig.log.count("创建新的 BLEPrinterManager 实例，设备名称: P1"), 1u);
    EXPECT_EQ(rig.log.count("使用现有的 BLEPrinterManager 实例，设备名称: P1"), 2u);
    // A short vector with a device URI scans for that device; one without keeps the name.
    rig.backend.performStart({"pellbluetooth://P3"});
    EXPECT_EQ(rig.backend.deviceName(), "P3");
    EXPECT_EQ(rig.manager->deviceName(), "P3");
    EXPECT_TRUE(rig.log.contains("Starting pellbluetooth isScanning deviceName P3"));
    rig.backend.performStart({"usb://X", "1", "2"});
    EXPECT_EQ(rig.backend.deviceName(), "P3");
}

TEST(PellBluetoothBackend, PrintJobReadsAFileUnderUsersOrCupssOwnSpoolFileAndNothingElse) {
    OrchestratorRig rig;
    rig.write("etc/shadow", "secret");
    std::filesystem::create_symlink(rig.root.path / "etc", rig.root.path / "Users/alice/link");
    for (const char* path : {"/Users/../etc/shadow", "/Users/alice/../../etc/shadow", "/Users/alice/link/shadow",
                             "/Users/", "/Users/nobody/../../etc/shadow"}) {
        EXPECT_TRUE(rig.forward("1", path).empty()) << path;
        EXPECT_TRUE(rig.log.contains(std::string("Refused to read ") + path + ": it does not lie under /Users/")) << path;
    }
    for (const char* path : {"/Users/alice/missing", "/Users/alice/dir", "/Users/alice/../alice/missing"})
        EXPECT_TRUE(rig.forward("1", path).empty()) << path;
    EXPECT_TRUE(rig.log.contains("无法读取打印数据文件"));
    EXPECT_FALSE(rig.log.hasPrefix("do print"));
    // (The agent's channel tests print the spool file a forwarded job id names.)
    rig.write("Users/alice/job", "1b40");
    EXPECT_EQ(rig.forward("7", "/Users/alice/job"), Names{"P1"});
    EXPECT_TRUE(rig.log.contains("File Path: " + (rig.root / "Users/alice/job")));
    EXPECT_TRUE(rig.log.contains("do print   data: 4"));  // the manager was after no printer yet
    // A spool file is read only when it is CUPS's own: not through a link, not another user's.
    const auto unread = [&] { return rig.log.count("无法读取打印数据文件"); };
    auto before = unread();
    std::filesystem::create_symlink(rig.root.path / "Users/alice/job", rig.root.path / "spool/d00009-001");
    rig.forward("9", "/var/tmp/x");
    EXPECT_EQ(unread(), before + 1);
    rig.write("spool/d00008-001", "1b40");
    if (geteuid() == 0) {
        ASSERT_EQ(chown((rig.root / "spool/d00008-001").c_str(), 12345, 12345), 0);
        rig.forward("8", "/var/tmp/x");
        EXPECT_EQ(unread(), before + 2);
    }
}

TEST(PellBluetoothBackend, QueuesEveryJobForItsPrinterAndOnlyTheFirstReportUntilStopped) {
    OrchestratorRig rig;
    rig.backend.doPrint("1b40");
    EXPECT_TRUE(rig.waiting().empty());
    EXPECT_TRUE(rig.log.contains("Job dropped: no printer named for it"));
    rig.backend.setDeviceName("P1");
    rig.backend.doPrint("1b40");
    rig.backend.doPrint("1b41");  // waits behind the first: a later job never replaces one
    rig.backend.setDeviceName("P2");
    rig.backend.doPrint("00");
    EXPECT_EQ(rig.waiting(), (Names{"P1", "P2"}));
    EXPECT_TRUE(rig.log.contains("Job 2 for P1 queued: 2 bytes, 1 waiting before it"));
    // The orchestrator passes on only the first discovery report until told to stop.
    for (const char* name : {"usbA", "usbB"}) rig.backend.startBroadcasting(name);
    rig.backend.stopBroadcasting();
    rig.backend.stopBroadcasting();
    rig.backend.startBroadcasting("usbC");
    EXPECT_EQ(rig.reporter.all(), (Names{"usbA", "usbC"}));
    EXPECT_EQ(rig.reporter.stops, 1);
}

TEST(MessageDispatcher, TheFirstWordChoosesTheAction) {
    RecordingLog log;
    Names calls;
    MessageDispatcher dispatcher{log, {
        [&] { calls.push_back("scan"); },
        [&](const std::string& name) { calls.push_back("name=" + name); },
        [&] { calls.push_back("read"); },
        [&](const std::string& name) { calls.push_back("add=" + name); },
        [&](const std::vector<std::string>& words) {
            calls.push_back(std::accumulate(words.begin(), words.end(), std::string("start"),
                                            [](std::string joined, auto& word) { return joined + "|" + word; }));
        },
        [&] { calls.push_back("new job"); },
        [&](const std::string& name) { calls.push_back("cancel=" + name); },
        [&](std::optional<std::uint64_t> length) { calls.push_back("length=" + (length ? std::to_string(*length) : "none")); },
    }};
    const std::pair<const char*, Names> cases[] = {
        {"query bluetoothdevice", {"scan"}}, {"query", {"scan"}}, {"  query anything else ", {"scan"}},
        {"Query bluetoothdevice", {"read"}}, {"\tquery", {"read"}},  // case matters; a tab is part of the word
        {"doPrint pellbluetooth://ABC", {"new job", "name=ABC", "length=none", "read"}},
        {"doPrint ABC", {"new job", "length=none", "read"}}, {"doPrint", {"new job", "length=none", "read"}},
        // The print data's length, when the backend gives it; a malformed one is none.
        {"doPrint pellbluetooth://ABC length=2719", {"new job", "name=ABC", "length=2719", "read"}},
        {"doPrint pellbluetooth://ABC length=27x9", {"new job", "name=ABC", "length=none", "read"}},
        {"doPrint pellbluetooth://ABC length=1234567890123456", {"new job", "name=ABC", "length=none", "read"}},
        // Every occurrence of the scheme goes; a prefix without "://" is kept whole.
        {"doPrint pellbluetooth://A-pellbluetooth://B", {"new job", "name=A-B", "length=none", "read"}},
        {"doPrint pellbluetoothP1", {"new job", "name=pellbluetoothP1", "length=none", "read"}},
        {"cancelPrint pellbluetooth://KRV38-A1", {"cancel=KRV38-A1"}}, {"cancelPrint KRV38-A1", {}}, {"cancelPrint", {}},
        {"addPrint KRV38-A1 ", {"add=KRV38-A1"}}, {"addPrint KRV38-A1\r\n", {"add=KRV38-A1"}},
        {"addPrint ", {}}, {"   ", {}}, {"", {}}, {"status received_busy", {"read"}},  // "addPrint ": nothing to wait for
        {"/usr/libexec/cups/backend/pellbluetooth pellbluetooth://P1 42 alice  doc 1 /Users/a/f",
         {"start|pellbluetooth://P1|42|alice|doc|1|/Users/a/f"}},
        {"addPrint P1 query bluetoothdevice", {"add=P1"}},  // two texts read as one: the first word counts
    };
    for (const auto& [text, expected] : cases) {
        calls.clear();
        dispatcher.dispatch(text);
        EXPECT_EQ(calls, expected) << text;
    }
    EXPECT_TRUE(log.contains("callback do print error: without pellbluetooth:// prefix"));
}

}  // namespace
}  // namespace quorvel::test
