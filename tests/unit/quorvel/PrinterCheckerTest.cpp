// The CUPS queue checker on its rig (CheckerRig.h): reading the queue list and the queue
// states, state changes made only when needed and never for a queue CUPS does not have, the
// queue-list pass with its retries, removals and queue states, the add check with its
// 200-second pause and 20-second end; and the real timer queue.
#include "quorvel/QueueListPass.h"
#include "quorvel/QueueStateList.h"

#include "CheckerRig.h"

#include <gtest/gtest.h>

namespace quorvel::test {
namespace {

using Extract = std::optional<std::string> (*)(const std::string&);

TEST(QueueList, NamesRunFromTheSchemeToTheNextSlashOrTheLineEnd) {
    const Extract bt = PrinterChecker::extractBTPrinterName, usb = PrinterChecker::extractUsbPrinterName,
                  queue = PrinterChecker::extractQueueName;
    const std::tuple<Extract, const char*, std::optional<std::string>> cases[] = {
        {bt, "device for A: pellbluetooth://KRV38-A1", "KRV38-A1"}, {bt, "pellbluetooth://", std::nullopt},
        {bt, "pellbluetooth://QMT53-77/extra/more?x=1", "QMT53-77"},
        {bt, "pellbluetooth://P1?q=1 ", "P1?q=1 "},  // nothing stripped
        {bt, "pellbluetooth:///empty pellbluetooth://Late", "Late"}, {bt, "device for O: ipp://o/ipp", std::nullopt},
        {usb, "device for U: usb://Maker/Model?serial=1", "Maker"}, {usb, "usb:///Model", std::nullopt},
        {queue, "device for Label: pellbluetooth://QMT53-77", "Label"},
        {queue, "system default destination: Label", std::nullopt}};
    for (const auto& [extract, line, expected] : cases) EXPECT_EQ(extract(line), expected) << line;
    // The whitelist matches as a substring both ways, case-sensitively.
    for (const auto& [name, listed] : {std::pair{"KRV38-A1B2", true}, {"x-BX940", true}, {"HM_ZO", true}, {"OR2", true},
                                       {"krv38", false}, {"Office", false}})
        EXPECT_EQ(PrinterChecker::checkForWhitelistedPrinters(name), listed) << name;
}

TEST(QueueList, GetPrintersRunsLpstatInTheCLocaleAndReportsUsbQueues) {
    CheckerRig rig;
    rig.runner.listing = "device for Office: ipp://office.local/ipp/print\n"
                         "device for K: pellbluetooth://KRV38-A1\r\n"
                         "device for U: usb://Maker/Model?serial=1\n"
                         "device for K2: pellbluetooth://KRV38-A1\n";
    EXPECT_EQ(rig.checker.getPrinters(), (Names{"KRV38-A1", "KRV38-A1"}));
    ASSERT_EQ(rig.runner.commands.size(), 1u);
    EXPECT_EQ(rig.runner.commands[0].path, "/r/usr/bin/lpstat");
    EXPECT_EQ(rig.runner.commands[0].arguments, Names{"-v"});
    EXPECT_EQ(rig.runner.commands[0].environment, Names{"LC_ALL=C"});
    EXPECT_EQ(rig.connections.usbReports, Names{"Maker"});

    rig.runner.lpstatStarts = false;
    EXPECT_TRUE(rig.checker.getPrinters().empty());
    EXPECT_TRUE(rig.printed("Error running lpstat command: No such file"));
}

TEST(QueueList, PresenceMatchesBothWaysAndReusesAYoungList) {
    CheckerRig rig;
    rig.setQueues({"KRV38-A1"});
    EXPECT_TRUE(rig.checker.isPrinterAdded("KRV38-A1"));
    EXPECT_TRUE(rig.checker.isPrinterAdded("KRV38"));        // contained in a listed name
    EXPECT_TRUE(rig.checker.isPrinterAdded("KRV38-A1-XY"));  // contains one
    EXPECT_FALSE(rig.checker.isPrinterAdded("krv38-a1"));
    EXPECT_EQ(rig.runner.calls("lpstat").size(), 1u);  // one reading answered all four

    rig.setQueues({"KRV38-A1", "QMT53-9"});
    rig.clock.time += PrinterChecker::kQueueListReuse;
    EXPECT_FALSE(rig.checker.isPrinterAdded("QMT53-9"));  // still the young list
    rig.clock.time += 1ms;
    EXPECT_TRUE(rig.checker.isPrinterAdded("QMT53-9"));
    EXPECT_EQ(rig.runner.calls("lpstat").size(), 2u);
}

TEST(QueueList, StateChangesOnlyForTheQueuesOfThatPrinterAndIdleQueuesAreEnabled) {
    CheckerRig rig;
    rig.setQueues({"KRV38-A1"});
    rig.runner.states["KRV38-A1"] = "stopped";
    rig.checker.setPrinterOnline("KRV38-A1");
    rig.checker.setPrinterOnline("KRV38-A1-02");  // advertised name longer than the queue's
    rig.checker.setPrinterOffline("KRV38");
    rig.checker.setPrinterOnline(std::nullopt);
    rig.runner.lpadminStatus = 1;
    rig.checker.setPrinterOffline("KRV38-A1");
    rig.runner.states["KRV38-A1"] = "stopped";
    rig.checker.setPrinterOnline("KRV38-A1");

    // No cupsenable or cupsdisable after a failure.
    EXPECT_EQ(rig.runner.calls(), (Names{"lpadmin -p KRV38-A1 -o printer-state=3", "cupsenable KRV38-A1",
                                         "lpadmin -p KRV38-A1 -o printer-state=5",
                                         "lpadmin -p KRV38-A1 -o printer-state=3"}));
    EXPECT_EQ(rig.consoleText(), "Successfully set printer KRV38-A1 online.\n"
                                 "Failed to set printer KRV38-A1 offline.\n"
                                 "Failed to set printer KRV38-A1 online.\n");
    EXPECT_TRUE(rig.log.contains("No queue named KRV38-A1-02 in the queue list; not setting it online"));
    EXPECT_TRUE(rig.log.contains("No queue named KRV38 in the queue list; not setting it offline"));
    EXPECT_EQ(rig.scans, 2);  // a new scan after every offline report, set or not

    // A queue named unlike its printer is found by its device URI, and kept by each pass too.
    CheckerRig named;
    named.runner.listing = "device for Labels: pellbluetooth://KRV38-A1\ndevice for Office: ipp://o/ipp\n";
    named.runner.states["Labels"] = "stopped";
    named.checker.setPrinterOnline("KRV38-A1");
    EXPECT_EQ(named.runner.calls(), (Names{"lpadmin -p Labels -o printer-state=3", "cupsenable Labels"}));
    EXPECT_EQ(queuesToKeep({{"Labels", "KRV38-A1"}, {"Labels", "KRV38-A1"}, {"Lab2", "Office"}, {"K", "KRV38-B"}}, {"KRV38-B"}),
              (std::vector<QueueOfPrinter>{{"Labels", "KRV38-A1"}}));
}

// cupsd takes an lpadmin change as a new setup of the printer and prints the job in progress
// again: a queue already in the state asked for, or printing, is left alone. When lpstat -p
// tells nothing about the queue, the change is made.
TEST(QueueList, AStateChangeIsMadeOnlyWhenTheQueueIsNeitherSoAlreadyNorPrinting) {
    const std::string toIdle = "lpadmin -p KRV38-A1 -o printer-state=3|cupsenable KRV38-A1";
    const std::string toStopped =
        "lpadmin -p KRV38-A1 -o printer-state=5|cupsdisable -r Printer KRV38-A1 is not in range KRV38-A1";
    const std::string huge = "printer KRV38-A1 is idle.\n" + std::string(QueueStateList::kMaxOutputBytes, '.');
    struct Case {
        const char* state;  // what lpstat -p shows of KRV38-A1; empty: `listing` instead
        std::optional<std::string> listing;
        bool online;
        std::string changes;  // '|' between the runs
        std::string logLine;
    };
    const Case cases[] = {
        {"idle", {}, true, "", "Queue KRV38-A1 is already idle; state left as it is"},
        {"printing", {}, true, "", "Queue KRV38-A1 is printing; state left as it is"},
        {"stopped", {}, true, toIdle, ""},
        {"stopped", {}, false, "", "Queue KRV38-A1 is already stopped; state left as it is"},
        {"printing", {}, false, "", "Queue KRV38-A1 is printing; state left as it is"},
        {"idle", {}, false, toStopped, ""},
        {"", "printer KRV38-A1-02 is idle.  enabled since Mon\n", true, toIdle,
         "lpstat -p gave no state for queue KRV38-A1; setting it online all the same"},
        {"", "\x01\xfe\n", false, toStopped, "lpstat -p gave no state for queue KRV38-A1; setting it offline all the same"},
        {"", huge, true, toIdle,
         "lpstat -p printed 1048602 bytes, over the limit of 1048576; setting queue KRV38-A1 online all the same"},
        {"", std::nullopt, false, toStopped,
         "lpstat -p could not be run: No such file; setting queue KRV38-A1 offline all the same"},
    };
    for (const auto& [state, listing, online, changes, logLine] : cases) {
        SCOPED_TRACE(std::string(state) + (online ? " online " : " offline ") + logLine);
        CheckerRig rig;
        rig.setQueues({"QMT53-9", "KRV38-A1"});
        rig.runner.states = {{"KRV38-A1", state}, {"QMT53-9", "printing"}};
        rig.runner.stateListing = listing;
        rig.runner.stateListingStarts = *state != '\0' || listing;
        online ? rig.checker.setPrinterOnline("KRV38-A1") : rig.checker.setPrinterOffline("KRV38-A1");
        std::string made;
        for (const auto& change : rig.runner.calls()) made += (made.empty() ? "" : "|") + change;
        EXPECT_EQ(made, changes);
        EXPECT_EQ(rig.runner.restartedJobs, 0);
        EXPECT_TRUE(logLine.empty() || rig.log.contains(logLine)) << logLine;
        EXPECT_EQ(rig.runner.calls("lpstat"), (Names{"lpstat -v", "lpstat -p KRV38-A1"}));
        EXPECT_EQ(rig.scans, online ? 0 : 1);  // offline asks for a scan whatever happened
    }
    CheckerRig rig;  // the reason is one argument, and lpstat -p speaks the C locale
    rig.setQueues({"KRV38-A1"});
    rig.checker.setPrinterOffline("KRV38-A1");
    ASSERT_EQ(rig.runner.commands.size(), 4u);
    EXPECT_EQ(rig.runner.commands[1].environment, Names{"LC_ALL=C"});
    EXPECT_EQ(rig.runner.commands[3].arguments, (Names{"-r", "Printer KRV38-A1 is not in range", "KRV38-A1"}));
}

TEST(QueueList, LpstatStateLinesGiveTheStateOfExactlyTheQueueTheyName) {
    using enum QueueState;
    const std::string atLimit = "printer Q is idle.\n" + std::string(QueueStateList::kMaxOutputBytes - 19, '.');
    const std::pair<std::string, std::optional<QueueState>> cases[] = {
        {"printer Q is idle.  enabled since Mon 07 Dec 2026 01:00:00 AM UTC\n", idle},
        {"printer Q is holding new jobs.  enabled since Mon\n", idle},
        {"printer Q now printing Q-12.  enabled since Mon\n", printing},
        {"printer Q disabled since Mon 07 Dec 2026 -\n\tPrinter Q is not in range\n", stopped},
        {"printer Q is idle.  enabled since Mon\r\n", idle},
        {"printer Q now printing Q-1.  enabled\nprinter Q is idle.  enabled\n", printing},  // the first line counts
        {"printer R disabled since Mon -\n\tprinter Q is idle.  enabled\n", std::nullopt},  // a reason, not a state
        {"printer Q-02 is idle.  enabled\nprinter QQ now printing QQ-1.\n", std::nullopt},  // other queues
        {"printer q is idle.\n", std::nullopt},
        {"printer Q is idle\n", std::nullopt},
        {"printer Q\n", std::nullopt},
        {"printer  Q is idle.\n", std::nullopt},
        {" printer Q is idle.\n", std::nullopt},
        {"Drucker Q ist frei.\n", std::nullopt},
        {std::string("\0\xff\x01printer Q is idle.", 21), std::nullopt},
        {"", std::nullopt},
        {atLimit, idle},
        {atLimit + ".", std::nullopt},  // more than lpstat would ever print: nothing is read
    };
    for (const auto& [text, state] : cases) EXPECT_EQ(QueueStateList::parse(text).stateOf("Q"), state) << text.substr(0, 80);
}

TEST(QueueListLoop, StartsAtOnceEverySixSecondsConnectsNewWhitelistedQueuesAndRetriesThreeTimes) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop();
    ASSERT_EQ(rig.loopQueue->timers.size(), 1u);
    EXPECT_EQ(rig.loopQueue->timers[0]->interval, 6s);

    rig.setQueues({"Office-KRV38", "Plain"});
    rig.connections.results["Office-KRV38"] = {true};
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.connects, Names{"Office-KRV38"});  // Plain: not whitelisted
    EXPECT_TRUE(rig.log.contains("Printer Plain has been found at printer list."));
    EXPECT_TRUE(rig.log.contains("Printer Office-KRV38 has been add at printer list."));
    EXPECT_TRUE(rig.printed("checkPrinter  [\"Office-KRV38\", \"Plain\"]"));
    EXPECT_EQ(rig.checker.currentPrinters(), (Names{"Office-KRV38", "Plain"}));

    ASSERT_TRUE(rig.loopQueue->tick());  // nothing new: no connection, no sleep
    EXPECT_EQ(rig.connections.connects.size(), 1u);
    EXPECT_TRUE(rig.clock.sleeps.empty());

    rig.checker.stopCheckLoop();
    EXPECT_TRUE(rig.log.contains("stopCheckLoop......"));
    EXPECT_FALSE(rig.loopQueue->tick());
    rig.checker.checkPrinterLoop();  // a fresh loop keeps what was recorded
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.connects.size(), 1u);

    // A failed connection is retried three times and stays out of the recorded list.
    rig.setQueues({"Office-KRV38", "Plain", "KRV38-A1"});
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.connects.size(), 5u);  // the attempt and three retries
    EXPECT_EQ(rig.clock.sleeps, (std::vector<CheckerClock::Duration>{1s, 1s}));
    EXPECT_TRUE(rig.log.contains("Printer KRV38-A1 has been not add at printer list, retry 3 times with error"));
    EXPECT_EQ(rig.checker.currentPrinters(), (Names{"Office-KRV38", "Plain"}));
    rig.connections.results["KRV38-A1"] = {false, false, true};  // the second retry succeeds
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.connects.size(), 8u);
    EXPECT_EQ(rig.clock.sleeps.size(), 4u);
    EXPECT_EQ(rig.checker.currentPrinters(), (Names{"Office-KRV38", "Plain", "KRV38-A1"}));
}

TEST(QueueListLoop, DuplicatesAreEachConnectedAndARemovalDisconnectsAndRecordsTheList) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop();
    rig.setQueues({"QMT53-1", "QMT53-1"});
    rig.connections.results["QMT53-1"] = {true, true};
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.connects.size(), 2u);

    rig.setQueues({"Plain"});  // the printer's queue went; an unlisted model came
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.connections.disconnects, (Names{"QMT53-1", "QMT53-1"}));
    EXPECT_TRUE(rig.printed("Printer QMT53-1 has been removed."));
    EXPECT_TRUE(rig.log.contains("Printer QMT53-1 has been remove at printer list."));
    EXPECT_EQ(rig.checker.currentPrinters(), Names{"Plain"});
    // Links just started set their own queues' states; a vanished queue gets none.
    EXPECT_TRUE(rig.runner.calls("lpadmin").empty());

    rig.runner.lpstatStarts = false;  // an unreadable list drops everything recorded
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_TRUE(rig.printed("Printer Plain has been removed.") && rig.printed("checkPrinter  []"));
    EXPECT_EQ(rig.connections.disconnects.size(), 2u);  // Plain is not whitelisted
    EXPECT_TRUE(rig.checker.currentPrinters().empty());
}

// A pass keeps each whitelisted printer's queue idle while the printer is connected and stopped,
// with the reason, while it is not; it changes nothing that is so already or printing, leaves a
// printer whose link it has just started to that link's callbacks, and only ever asks for a scan
// to run (a scan restarted every pass would keep cutting discovery short).
TEST(QueueListLoop, KeepsEachQueueIdleWhileItsPrinterIsConnectedAndStoppedWhileNot) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop();
    // Label is the queue of printer KRV38-B2 (found by its device URI); Plain is no model we serve.
    rig.runner.listing = "device for KRV38-A1: pellbluetooth://KRV38-A1\n"
                         "device for QMT53-9: pellbluetooth://QMT53-9\n"
                         "device for Label: pellbluetooth://KRV38-B2\n"
                         "device for Plain: pellbluetooth://Plain\n";
    rig.runner.states = {{"KRV38-A1", "stopped"}, {"QMT53-9", "idle"}, {"Label", "idle"}, {"Plain", "idle"}};
    rig.connections.results["KRV38-A1"] = {true};
    ASSERT_TRUE(rig.loopQueue->tick());
    // Not connected at one pass only: it may be coming in range, so its queue keeps its state.
    EXPECT_TRUE(rig.runner.calls().empty());
    ASSERT_TRUE(rig.loopQueue->tick());
    const Names stopQmt{"lpadmin -p QMT53-9 -o printer-state=5", "cupsdisable -r Printer QMT53-9 is not in range QMT53-9",
                        "lpadmin -p Label -o printer-state=5", "cupsdisable -r Printer Label is not in range Label"};
    EXPECT_EQ(rig.runner.calls(), stopQmt);
    EXPECT_TRUE(rig.log.contains("Printer QMT53-9 is not in range; setting its queue stopped"));

    // Its link came up, but its queue was stopped by its user: a pass leaves that stop alone.
    rig.connections.connected = {"KRV38-A1"};
    for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.runner.calls(), stopQmt);
    EXPECT_EQ(rig.log.count("Queue KRV38-A1 was stopped by someone else; left stopped"), 1u);
    EXPECT_EQ(rig.runner.calls("lpstat").size(), 10u);  // -v and -p at each of the five passes
    EXPECT_EQ(rig.connections.scanRequests, 5);
    EXPECT_EQ(rig.scans, 0);
    EXPECT_TRUE(rig.connections.disconnects.empty());
    EXPECT_EQ(std::ranges::count(rig.connections.connects, "KRV38-A1"), 1);

    // Jobs printing: the links change and no queue is touched until they are done.
    rig.runner.states["KRV38-A1"] = rig.runner.states["QMT53-9"] = "printing";
    rig.connections.connected = {"QMT53-9"};
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.runner.calls().size(), 4u);
    rig.runner.states["KRV38-A1"] = rig.runner.states["QMT53-9"] = "idle";
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.runner.calls().back(), "cupsdisable -r Printer KRV38-A1 is not in range KRV38-A1");
    EXPECT_EQ(rig.runner.calls().size(), 6u);
    // Back in range: the stop the agent made is undone.
    rig.connections.connected = {"KRV38-A1"};
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_EQ(rig.runner.calls().back(), "cupsenable KRV38-A1");
    EXPECT_EQ(rig.runner.calls().size(), 8u);
    EXPECT_EQ(rig.runner.restartedJobs, 0);

    // States that cannot be read are left as they are; the scan is still asked for.
    rig.connections.connected = {"KRV38-A1"};
    rig.runner.stateListingStarts = false;
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_TRUE(rig.log.contains("lpstat -p could not be run: No such file; queue states left as they are"));
    rig.runner.stateListingStarts = true;
    rig.runner.stateListing = "printer QMT53-9 disabled since Mon -\n\treason unknown\n";
    ASSERT_TRUE(rig.loopQueue->tick());
    EXPECT_TRUE(rig.log.contains("lpstat -p gave no state for queue KRV38-A1; left as it is"));
    EXPECT_EQ(rig.runner.calls().size(), 8u);
    EXPECT_EQ(rig.connections.scanRequests, 10);
}

// A failed first attempt is retried at once and once more after 200 s; three failures are
// logged and the check ends all the same.
TEST(AddCheck, ConnectsTheListedNamesThatContainTheGivenOneAndStops) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop("KRV38");
    ASSERT_EQ(rig.addQueue->timers.size(), 1u);
    EXPECT_EQ(rig.addQueue->timers[0]->interval, 2s);
    ASSERT_TRUE(rig.addQueue->tick());  // no queue yet
    EXPECT_TRUE(rig.connections.connects.empty());
    EXPECT_TRUE(rig.checker.isAddCheckRunning());

    rig.setQueues({"KRV38-A1", "Plain", "KRV38-B2", "KRV38-C3"});
    rig.connections.results["KRV38-A1"] = {true};
    rig.connections.results["KRV38-B2"] = {false, true};
    ASSERT_TRUE(rig.addQueue->tick());
    EXPECT_EQ(rig.connections.connects,
              (Names{"KRV38-A1", "KRV38-B2", "KRV38-B2", "KRV38-C3", "KRV38-C3", "KRV38-C3"}));
    EXPECT_EQ(rig.clock.sleeps, (std::vector<CheckerClock::Duration>{200s, 200s}));
    EXPECT_EQ(rig.log.count("Printer KRV38-C3 has been not add at printer list, retry 3 times with error"), 1u);
    EXPECT_FALSE(rig.log.hasPrefix("Printer KRV38-B2 has been not add"));
    const std::string console = rig.consoleText();
    EXPECT_NE(console.find("Printer KRV38 has been added.\n"), console.rfind("Printer KRV38 has been added.\n"));
    EXPECT_FALSE(rig.checker.isAddCheckRunning());
    EXPECT_FALSE(rig.addQueue->tick());
}

// A new addPrint replaces the running check, for its own name only, and restarts its time; the
// check stops at the first tick more than 20 s after that.
TEST(AddCheck, ANewAddPrintReplacesTheRunningCheckWhichStopsAfterTwentySeconds) {
    CheckerRig rig;
    rig.checker.checkPrinterLoop("KRV38-A1");
    rig.clock.time += 15s;
    rig.checker.checkPrinterLoop("QMT53-9");
    EXPECT_TRUE(rig.addQueue->timers[0]->cancelled);
    rig.setQueues({"KRV38-A1"});
    rig.clock.time += 20s;
    ASSERT_TRUE(rig.addQueue->tick());  // exactly 20 s: still looking, for QMT53-9 only
    EXPECT_TRUE(rig.connections.connects.empty());
    EXPECT_TRUE(rig.checker.isAddCheckRunning());
    rig.clock.time += 1ms;
    ASSERT_TRUE(rig.addQueue->tick());
    EXPECT_TRUE(rig.printed("Check printer loop stopped after 20 seconds."));
    EXPECT_FALSE(rig.checker.isAddCheckRunning());
    EXPECT_EQ(rig.runner.calls("lpstat").size(), 1u);  // the last tick did not read the list
}

// The real queue: a first tick at once, none after a cancel made from inside the handler;
// the ticks missed while a handler overran are merged into one.
TEST(TimerQueueTest, TicksAtOnceMergesMissedTicksAndStopsFromItsOwnHandler) {
    using SteadyClock = std::chrono::steady_clock;
    AsioTimerQueue queue(kAddCheckerLabel);
    std::mutex mutex;
    std::vector<SteadyClock::time_point> times;
    std::shared_ptr<RepeatingTimer> timer;
    const auto start = SteadyClock::now();
    {
        std::lock_guard lock(mutex);  // the handler sees `timer` set
        timer = queue.startRepeating(100ms, [&] {
            std::lock_guard inner(mutex);
            times.push_back(SteadyClock::now());
            if (times.size() == 1)
                std::this_thread::sleep_for(350ms);  // three intervals missed
            if (times.size() == 4) timer->cancel();
        });
    }
    ASSERT_TRUE(waitUntil([&] { std::lock_guard lock(mutex); return times.size() == 4; }));
    std::this_thread::sleep_for(300ms);
    std::lock_guard lock(mutex);
    ASSERT_EQ(times.size(), 4u);
    EXPECT_LT(times[0] - start, 150ms);
    EXPECT_GE(times[2] - times[1], 90ms);  // one merged tick, then the interval again
    EXPECT_GE(times[3] - times[2], 90ms);
}

}  // namespace
}  // namespace quorvel::test
