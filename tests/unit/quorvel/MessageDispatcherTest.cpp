// The command dispatcher: which first word does what, and what reaches the orchestrator.
#include "quorvel/MessageDispatcher.h"

#include "ShellTestSupport.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

struct DispatcherRig {
    shelltest::RecordingLog log;
    std::vector<std::string> calls;
    MessageDispatcher dispatcher{log, {
        [this] { calls.push_back("scan"); },
        [this](const std::string& name) { calls.push_back("name=" + name); },
        [this] { calls.push_back("read"); },
        [this](const std::string& name) { calls.push_back("add=" + name); },
        [this](const std::vector<std::string>& words) {
            std::string joined = "start";
            for (const auto& word : words)
                joined += "|" + word;
            calls.push_back(joined);
        },
    }};
    std::vector<std::string> run(const std::string& text) {
        calls.clear();
        dispatcher.dispatch(text);
        return calls;
    }
};

using Calls = std::vector<std::string>;

TEST(MessageDispatcher, QueryStartsAScanWhateverFollows) {
    DispatcherRig rig;
    EXPECT_EQ(rig.run("query bluetoothdevice"), Calls{"scan"});
    EXPECT_EQ(rig.run("query"), Calls{"scan"});
    EXPECT_EQ(rig.run("  query anything else "), Calls{"scan"});
    EXPECT_EQ(rig.run("Query bluetoothdevice"), Calls{"read"});  // case matters
}

TEST(MessageDispatcher, DoPrintSetsTheDeviceNameOnlyForADeviceUri) {
    DispatcherRig rig;
    EXPECT_EQ(rig.run("doPrint pellbluetooth://ABC"), (Calls{"name=ABC", "read"}));
    EXPECT_TRUE(rig.log.has("BidirectionalFIFO do print deviceName pellbluetooth://ABC"));
    // Every occurrence of the scheme goes; a prefix without "://" is kept whole.
    EXPECT_EQ(rig.run("doPrint pellbluetooth://A-pellbluetooth://B"), (Calls{"name=A-B", "read"}));
    EXPECT_EQ(rig.run("doPrint pellbluetoothP1"), (Calls{"name=pellbluetoothP1", "read"}));

    EXPECT_EQ(rig.run("doPrint ABC"), Calls{"read"});
    EXPECT_TRUE(rig.log.has("callback do print error: without pellbluetooth:// prefix"));
    EXPECT_EQ(rig.run("doPrint"), Calls{"read"});
}

TEST(MessageDispatcher, AddPrintPassesTheTrimmedName) {
    DispatcherRig rig;
    EXPECT_EQ(rig.run("addPrint KRV38-A1 "), Calls{"add=KRV38-A1"});
    EXPECT_TRUE(rig.log.has("BidirectionalFIFO addPrint KRV38-A1"));
    EXPECT_EQ(rig.run("addPrint KRV38-A1\r\n"), Calls{"add=KRV38-A1"});
    EXPECT_EQ(rig.run("addPrint "), Calls{});  // no name: nothing to wait for
}

TEST(MessageDispatcher, ForwardedVectorPassesTheWordsAfterTheFirst) {
    DispatcherRig rig;
    EXPECT_EQ(rig.run("/usr/libexec/cups/backend/pellbluetooth pellbluetooth://P1 42 alice  doc 1 /Users/a/f"),
              Calls{"start|pellbluetooth://P1|42|alice|doc|1|/Users/a/f"});
    EXPECT_TRUE(rig.log.has("remove first params backend/pellbluetooth"));
}

TEST(MessageDispatcher, AnyOtherFirstWordStartsTheReaderAndEmptyTextNothing) {
    DispatcherRig rig;
    EXPECT_EQ(rig.run("status received_busy"), Calls{"read"});
    EXPECT_EQ(rig.run("\tquery"), Calls{"read"});  // a tab is part of the word
    EXPECT_EQ(rig.run("   "), Calls{});
    EXPECT_EQ(rig.run(""), Calls{});
    // Two texts read as one: only the first word counts.
    EXPECT_EQ(rig.run("addPrint P1 query bluetoothdevice"), Calls{"add=P1"});
}

}  // namespace
}  // namespace quorvel
