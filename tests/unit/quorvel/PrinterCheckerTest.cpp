// The queue checker's lpstat reading and lpadmin calls, with a fake process runner.
#include "quorvel/PrinterChecker.h"

#include "ShellTestSupport.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

struct FakeRunner : pb::ProcessRunner {
    std::vector<pb::Command> commands;
    pb::CommandResult next{true, 0, "", ""};
    pb::CommandResult run(const pb::Command& command) override {
        commands.push_back(command);
        return next;
    }
    bool launch(const pb::Command&, std::string&) override { return false; }
};

struct CheckerRig {
    shelltest::TempFolder folder;
    shelltest::RecordingLog log;
    FakeRunner runner;
    std::FILE* console = std::tmpfile();
    std::vector<std::string> usbReports;
    int scans = 0;
    PrinterChecker checker{{log, runner, console, [this](const std::string& name) { usbReports.push_back(name); },
                            [this] { ++scans; }},
                           "/root/usr/bin/lpstat", "/root/usr/sbin/lpadmin"};
    ~CheckerRig() { std::fclose(console); }
    std::string consoleText() {
        std::fflush(console);
        std::rewind(console);
        std::string text;
        for (int c; (c = std::fgetc(console)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }
};

constexpr const char* kListing =
    "device for Office: ipp://office.local/ipp/print\n"
    "device for KRV38-A1: pellbluetooth://KRV38-A1\r\n"
    "device for Label: pellbluetooth://QMT53-77/extra?x=1\n"
    "device for Usb: usb://Maker/Model?serial=1\n"
    "device for Odd: pellbluetooth:///empty pellbluetooth://Late\n";

TEST(PrinterChecker, ListsPellbluetoothQueuesInTheCLocale) {
    CheckerRig rig;
    rig.runner.next.output = kListing;
    EXPECT_EQ(rig.checker.getPrinters(), (std::vector<std::string>{"KRV38-A1", "QMT53-77", "Late"}));
    ASSERT_EQ(rig.runner.commands.size(), 1u);
    EXPECT_EQ(rig.runner.commands[0].path, "/root/usr/bin/lpstat");
    EXPECT_EQ(rig.runner.commands[0].arguments, std::vector<std::string>{"-v"});
    EXPECT_EQ(rig.runner.commands[0].environment, std::vector<std::string>{"LC_ALL=C"});
    EXPECT_EQ(rig.usbReports, std::vector<std::string>{"Maker"});
}

TEST(PrinterChecker, IsPrinterAddedMatchesSubstringsBothWays) {
    CheckerRig rig;
    rig.runner.next.output = kListing;
    EXPECT_TRUE(rig.checker.isPrinterAdded("KRV38-A1"));
    EXPECT_TRUE(rig.checker.isPrinterAdded("KRV38"));        // contained in a listed name
    EXPECT_TRUE(rig.checker.isPrinterAdded("KRV38-A1-XY"));  // contains a listed name
    EXPECT_FALSE(rig.checker.isPrinterAdded("krv38-a1"));
    rig.runner.next = {false, -1, "", "No such file or directory"};
    EXPECT_FALSE(rig.checker.isPrinterAdded("KRV38-A1"));
    EXPECT_NE(rig.consoleText().find("Error running lpstat command: No such file or directory"), std::string::npos);
}

TEST(PrinterChecker, SetsQueueStateWithLpadminAndRescansAfterOffline) {
    CheckerRig rig;
    rig.checker.setPrinterOnline("Name With Space");
    rig.runner.next.exitStatus = 1;
    rig.checker.setPrinterOffline("KRV38-A1");
    rig.checker.setPrinterOnline(std::nullopt);
    ASSERT_EQ(rig.runner.commands.size(), 2u);
    EXPECT_EQ(rig.runner.commands[0].path, "/root/usr/sbin/lpadmin");
    EXPECT_EQ(rig.runner.commands[0].arguments,
              (std::vector<std::string>{"-p", "Name With Space", "-o", "printer-state=3"}));
    EXPECT_EQ(rig.runner.commands[1].arguments, (std::vector<std::string>{"-p", "KRV38-A1", "-o", "printer-state=5"}));
    EXPECT_EQ(rig.scans, 1);
    EXPECT_EQ(rig.consoleText(),
              "Successfully set printer Name With Space online.\nFailed to set printer KRV38-A1 offline.\n");
}

}  // namespace
}  // namespace quorvel
