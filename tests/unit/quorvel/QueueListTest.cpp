// Reading the queue list: name extraction, the whitelist test, queue presence with a reused
// list, and queue state changes that never name a queue CUPS does not have.
#include "CheckerRig.h"

#include "quorvel/QueueListPass.h"

#include <gtest/gtest.h>

namespace quorvel::checkertest {
namespace {

TEST(QueueList, NamesRunFromTheSchemeToTheNextSlashOrTheLineEnd) {
    EXPECT_EQ(PrinterChecker::extractBTPrinterName("device for A: pellbluetooth://KRV38-A1"), "KRV38-A1");
    EXPECT_EQ(PrinterChecker::extractBTPrinterName("pellbluetooth://QMT53-77/extra/more?x=1"), "QMT53-77");
    EXPECT_EQ(PrinterChecker::extractBTPrinterName("pellbluetooth://P1?q=1 "), "P1?q=1 ");  // nothing stripped
    EXPECT_EQ(PrinterChecker::extractBTPrinterName("pellbluetooth:///empty pellbluetooth://Late"), "Late");
    EXPECT_EQ(PrinterChecker::extractBTPrinterName("device for O: ipp://office.local/ipp"), std::nullopt);
    EXPECT_EQ(PrinterChecker::extractBTPrinterName("pellbluetooth://"), std::nullopt);
    EXPECT_EQ(PrinterChecker::extractUsbPrinterName("device for U: usb://Maker/Model?serial=1"), "Maker");
    EXPECT_EQ(PrinterChecker::extractUsbPrinterName("usb:///Model"), std::nullopt);
    EXPECT_EQ(PrinterChecker::extractQueueName("device for Label: pellbluetooth://QMT53-77"), "Label");
    EXPECT_EQ(PrinterChecker::extractQueueName("system default destination: Label"), std::nullopt);
}

TEST(QueueList, WhitelistMatchesAsASubstringBothWaysAndCaseSensitively) {
    EXPECT_TRUE(PrinterChecker::checkForWhitelistedPrinters("KRV38-A1B2"));  // contains a row
    EXPECT_TRUE(PrinterChecker::checkForWhitelistedPrinters("x-BX940"));     // anywhere
    EXPECT_TRUE(PrinterChecker::checkForWhitelistedPrinters("HM_ZO"));       // part of a row
    EXPECT_TRUE(PrinterChecker::checkForWhitelistedPrinters("OR2"));
    EXPECT_FALSE(PrinterChecker::checkForWhitelistedPrinters("krv38"));
    EXPECT_FALSE(PrinterChecker::checkForWhitelistedPrinters("Office"));
}

TEST(QueueList, GetPrintersRunsLpstatInTheCLocaleAndReportsUsbQueues) {
    CheckerRig rig;
    rig.runner.listing = "device for Office: ipp://office.local/ipp/print\n"
                         "device for K: pellbluetooth://KRV38-A1\r\n"
                         "device for U: usb://Maker/Model?serial=1\n"
                         "device for K2: pellbluetooth://KRV38-A1\n";
    EXPECT_EQ(rig.checker.getPrinters(), (std::vector<std::string>{"KRV38-A1", "KRV38-A1"}));
    ASSERT_EQ(rig.runner.commands.size(), 1u);
    EXPECT_EQ(rig.runner.commands[0].path, "/r/usr/bin/lpstat");
    EXPECT_EQ(rig.runner.commands[0].arguments, std::vector<std::string>{"-v"});
    EXPECT_EQ(rig.runner.commands[0].environment, std::vector<std::string>{"LC_ALL=C"});
    EXPECT_EQ(rig.connections.usbReports, std::vector<std::string>{"Maker"});

    rig.runner.lpstatStarts = false;
    EXPECT_TRUE(rig.checker.getPrinters().empty());
    EXPECT_TRUE(rig.printed("Error running lpstat command: No such file or directory"));
}

TEST(QueueList, PresenceMatchesBothWaysAndReusesAYoungList) {
    CheckerRig rig;
    rig.setQueues({"KRV38-A1"});
    EXPECT_TRUE(rig.checker.isPrinterAdded("KRV38-A1"));
    EXPECT_TRUE(rig.checker.isPrinterAdded("KRV38"));        // contained in a listed name
    EXPECT_TRUE(rig.checker.isPrinterAdded("KRV38-A1-XY"));  // contains one
    EXPECT_FALSE(rig.checker.isPrinterAdded("krv38-a1"));
    EXPECT_EQ(rig.runner.callsOf("lpstat").size(), 1u);  // one reading answered all four

    rig.setQueues({"KRV38-A1", "QMT53-9"});
    rig.clock.time += PrinterChecker::kQueueListReuse;
    EXPECT_FALSE(rig.checker.isPrinterAdded("QMT53-9"));  // still the young list
    rig.clock.time += 1ms;
    EXPECT_TRUE(rig.checker.isPrinterAdded("QMT53-9"));
    EXPECT_EQ(rig.runner.callsOf("lpstat").size(), 2u);
}

TEST(QueueList, StateChangesOnlyForAQueueOfExactlyThatNameAndIdleQueuesAreEnabled) {
    CheckerRig rig;
    rig.setQueues({"KRV38-A1"});
    rig.checker.setPrinterOnline("KRV38-A1");
    rig.checker.setPrinterOnline("KRV38-A1-02");  // advertised name longer than the queue's
    rig.checker.setPrinterOffline("KRV38");
    rig.checker.setPrinterOnline(std::nullopt);
    rig.runner.lpadminStatus = 1;
    rig.checker.setPrinterOffline("KRV38-A1");
    rig.checker.setPrinterOnline("KRV38-A1");

    EXPECT_EQ(rig.runner.callsOf("lpadmin"), (std::vector<std::string>{"-p KRV38-A1 -o printer-state=3",
                                                                     "-p KRV38-A1 -o printer-state=5",
                                                                     "-p KRV38-A1 -o printer-state=3"}));
    EXPECT_EQ(rig.runner.callsOf("cupsenable"), std::vector<std::string>{"KRV38-A1"});  // not after a failure
    EXPECT_EQ(rig.consoleText(), "Successfully set printer KRV38-A1 online.\n"
                                 "Failed to set printer KRV38-A1 offline.\n"
                                 "Failed to set printer KRV38-A1 online.\n");
    EXPECT_TRUE(rig.log.has("No queue named KRV38-A1-02 in the queue list; not setting it online"));
    EXPECT_TRUE(rig.log.has("No queue named KRV38 in the queue list; not setting it offline"));
    EXPECT_EQ(rig.scans, 2);  // a new scan after every offline report, set or not
}

TEST(QueueList, PassArithmeticKeepsDuplicatesAndRecordsTheWholeListOnlyAfterAChange) {
    const std::vector<std::string> recorded{"A", "Gone"};
    const std::vector<std::string> listed{"B", "A", "B"};
    const QueueListChanges changes = compareQueueLists(listed, recorded);
    EXPECT_EQ(changes.added, (std::vector<std::string>{"B", "B"}));
    EXPECT_EQ(changes.removed, std::vector<std::string>{"Gone"});
    EXPECT_EQ(listRecordedAfterPass(listed, recorded, changes, false), listed);  // the removal records it

    const QueueListChanges onlyNew = compareQueueLists({"A", "B"}, {"A"});
    EXPECT_EQ(listRecordedAfterPass({"A", "B"}, {"A"}, onlyNew, false), std::vector<std::string>{"A"});
    EXPECT_EQ(listRecordedAfterPass({"A", "B"}, {"A"}, onlyNew, true), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(quotedList({"A", "B"}), "[\"A\", \"B\"]");
    EXPECT_EQ(quotedList({}), "[]");
}

}  // namespace
}  // namespace quorvel::checkertest
