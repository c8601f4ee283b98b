// The agent's log: thread tags, the file's first line, and whole lines under concurrent logging.
#include "quorvel/Logger.h"

#include "ShellTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace quorvel {
namespace {

std::string contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(Logger, FirstLineOfAFreshLogSaysItWasCreatedAndTagsTellThreadsApart) {
    shelltest::TempFolder folder;
    const std::string path = folder / "agent.log";
    const auto mainThread = std::this_thread::get_id();
    {
        Logger logger(path, [mainThread] { return std::this_thread::get_id() == mainThread; }, nullptr);
        logger.log("from main");
        std::thread([&] { logger.log("from elsewhere\nsecond line"); }).join();
    }
    std::istringstream lines(contents(path));
    std::string line;
    std::getline(lines, line);
    EXPECT_TRUE(line.rfind("main:[", 0) == 0 && line.ends_with("] Log file created at: " + path)) << line;
    std::getline(lines, line);
    EXPECT_TRUE(line.rfind("main:[", 0) == 0 && line.ends_with("] from main")) << line;
    std::getline(lines, line);
    // A line feed inside a message stays inside its entry, shown escaped.
    EXPECT_TRUE(line.rfind("not-main:[", 0) == 0 && line.ends_with("] from elsewhere\\x0asecond line")) << line;
    EXPECT_FALSE(std::getline(lines, line));

    Logger again(path, [] { return true; }, nullptr);
    EXPECT_TRUE(contents(path).ends_with("] Log file already exists at: " + path + "\n"));
}

TEST(Logger, ConcurrentLinesStayWholeInFileAndConsole) {
    shelltest::TempFolder folder;
    const std::string path = folder / "agent.log";
    const std::string consolePath = folder / "console";
    std::FILE* console = std::fopen(consolePath.c_str(), "w");
    ASSERT_NE(console, nullptr);
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    {
        Logger logger(path, [] { return false; }, console);
        std::vector<std::thread> threads;
        for (int thread = 0; thread < kThreads; ++thread)
            threads.emplace_back([&, thread] {
                const std::string body(100 + thread * 37, static_cast<char>('a' + thread));
                for (int line = 0; line < kLines; ++line)
                    logger.log("<" + body + ">");
            });
        for (auto& thread : threads)
            thread.join();
    }
    std::fclose(console);
    for (const std::string& file : {path, consolePath}) {
        std::istringstream lines(contents(file));
        std::string line;
        int whole = 0;
        while (std::getline(lines, line)) {
            if (line.empty() || line.find("Log file created") != std::string::npos)
                continue;
            const auto open = line.find("] <");
            ASSERT_NE(open, std::string::npos) << line;
            const std::string body = line.substr(open + 3, line.size() - open - 4);
            ASSERT_EQ(line.back(), '>') << line;
            ASSERT_EQ(body.find_first_not_of(body.front()), std::string::npos) << "interleaved: " << line;
            ++whole;
        }
        EXPECT_EQ(whole, kThreads * kLines) << file;
    }
}

TEST(Logger, AMissingFolderCostsOnlyTheFile) {
    shelltest::TempFolder folder;
    Logger logger(folder / "no/such/folder/agent.log", [] { return true; }, nullptr);
    logger.log("still fine");
    EXPECT_FALSE(std::filesystem::exists(folder / "no"));
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

TEST(Logger, ARemovedLogIsNotCreatedAgainButUsedOnceItIsBack) {
    shelltest::TempFolder folder;
    const std::string path = folder / "agent.log";
    Logger logger(path, [] { return true; }, nullptr);
    logger.log("one");
    std::filesystem::remove(path);
    logger.log("lost");
    EXPECT_FALSE(std::filesystem::exists(path));
    { std::ofstream recreated(path); }
    logger.log("two");
    const std::string text = contents(path);
    EXPECT_EQ(text.find("lost"), std::string::npos);
    EXPECT_TRUE(text.ends_with("] two\n")) << text;
}

}  // namespace
}  // namespace quorvel
