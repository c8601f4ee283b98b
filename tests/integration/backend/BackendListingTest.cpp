// The backend's device-listing mode against a scripted agent.
#include "BackendHarness.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace harness;

std::vector<std::string> deviceLines(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);)
        if (line.rfind("direct ", 0) == 0)
            lines.push_back(line);
    return lines;
}

TEST(BackendListing, PrintsExactDeviceLinesAndAnnouncesEachPrinterTwoSecondsLater)
{
    TempRoot root;
    Backend backend(root, {"/usr/lib/cups/backend/pellbluetooth"});
    ScriptedAgent agent(root);
    EXPECT_EQ(agent.readCommand(), "query bluetoothdevice");

    const auto sent = Clock::now();
    ASSERT_TRUE(agent.reply("querycallback KRV38-A1B2 querycallback \tQMT53H-7\n "));
    ASSERT_TRUE(waitUntil([&] { return deviceLines(backend.output()).size() == 2; }, 5s));
    // A name with a line feed inside could forge a second device line.
    ASSERT_TRUE(agent.reply("querycallback Evil\ndirect querycallback Bad\"Quote querycallback no-model-9 "));
    ASSERT_TRUE(waitUntil([&] { return deviceLines(backend.output()).size() == 3; }, 5s)) << backend.output();

    EXPECT_EQ(deviceLines(backend.output()),
              (std::vector<std::string>{
                  R"(direct pellbluetooth://KRV38-A1B2 "KRV38" "KRV38-A1B2" PPD=KRV38.ppd)",
                  R"(direct pellbluetooth://QMT53H-7 "QMT53" "QMT53H-7" PPD=QMT53.ppd)",
                  R"(direct pellbluetooth://no-model-9 "Pelltandle" "no-model-9" PPD=Pelltandle.ppd)",
              }));
    EXPECT_NE(backend.log().find(R"(refused a printer name that is empty or holds control characters, quotes or backslashes: "Evil\x0adirect")"),
              std::string::npos);
    EXPECT_NE(backend.log().find("Bad\\x22Quote"), std::string::npos);

    // The three announcements, each in its own write (they may reach us joined).
    std::string commands;
    while (commands.find("addPrint no-model-9 ") == std::string::npos) {
        auto text = agent.readCommand(10s);
        ASSERT_TRUE(text) << "announcements so far: " << commands;
        if (commands.empty()) {
            EXPECT_GE(Clock::now() - sent, 1900ms);
        }
        commands += *text;
    }
    EXPECT_EQ(commands, "addPrint KRV38-A1B2 addPrint QMT53H-7 addPrint no-model-9 ");
    EXPECT_FALSE(backend.waitExit(100ms)) << "listing mode runs until CUPS ends it";
}

TEST(BackendListing, StatusStartQueriesOnlyWhenAQueueOfAServedModelExists)
{
    TempRoot root;
    const std::string seenLocale = root.path("/lpstat-locale");
    writeFile(root.path("/usr/bin/lpstat"),
              "#!/bin/sh\necho \"$LC_ALL $1\" > '" + seenLocale + "'\n"
              "echo 'device for KRV38-A1: pellbluetooth://KRV38-A1'\n", 0755);
    Backend backend(root, {"pellbluetooth"});
    ScriptedAgent agent(root);
    EXPECT_EQ(agent.readCommand(), "query bluetoothdevice");
    ASSERT_TRUE(agent.reply("status start"));
    EXPECT_EQ(agent.readCommand(), "query bluetoothdevice");
    EXPECT_EQ(readFile(seenLocale), "C -v\n");

    // No queues: lpstat complains on its standard error and fails, which is simply no match.
    writeFile(root.path("/usr/bin/lpstat"), "#!/bin/sh\necho 'lpstat: No destinations added.' >&2\nexit 1\n", 0755);
    ASSERT_TRUE(agent.reply("status start"));
    EXPECT_FALSE(agent.readCommand(1500ms));
    EXPECT_EQ(backend.output().find("lpstat: No destinations"), std::string::npos);
}

}  // namespace
