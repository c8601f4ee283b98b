// The agent's log: thread tags, the file's first line, and whole lines under concurrent logging.
#include "quorvel/Logger.h"

#include "ShellTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace quorvel {
namespace {

std::string contents(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void waitForTheNextSecond() {
    const std::time_t now = std::time(nullptr);
    while (std::time(nullptr) == now)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(Logger, FirstLineSaysHowTheLogWasFoundTagsTellThreadsApartAndALostFileCostsNoMore) {
    shelltest::TempFolder folder;
    const std::string path = folder / "agent.log";
    const auto mainThread = std::this_thread::get_id();
    {
        Logger logger(path, [mainThread] { return std::this_thread::get_id() == mainThread; }, nullptr);
        logger.log("from main");
        std::thread([&] { logger.log("from elsewhere\nsecond line"); }).join();
    }
    std::istringstream lines(contents(path));
    // A line feed inside a message stays inside its entry, shown escaped.
    for (auto [tag, tail] : {std::pair{"main:[", "] Log file created at: " + path}, {"main:[", "] from main"},
                             {"not-main:[", "] from elsewhere\\x0asecond line"}}) {
        std::string line;
        std::getline(lines, line);
        EXPECT_TRUE(line.starts_with(tag) && line.ends_with(tail)) << line;
    }
    EXPECT_TRUE(lines.peek() == EOF);
    Logger again(path, [] { return true; }, nullptr);
    EXPECT_TRUE(contents(path).ends_with("] Log file already exists at: " + path + "\n"));
    // A removed log is not created again, but used once it is back: the removal is noticed
    // at the first line of a new second.
    std::filesystem::remove(path);
    waitForTheNextSecond();
    again.log("lost");
    EXPECT_FALSE(std::filesystem::exists(path));
    { std::ofstream recreated(path); }
    again.log("two");
    EXPECT_TRUE(contents(path).ends_with("] two\n") && contents(path).find("lost") == std::string::npos);
    // A missing folder costs only the file.
    Logger lost(folder / "no/such/folder/agent.log", [] { return true; }, nullptr);
    lost.log("still fine");
    EXPECT_FALSE(std::filesystem::exists(folder / "no"));
}

TEST(Logger, ConcurrentLinesStayWholeInFileAndConsole) {
    shelltest::TempFolder folder;
    const std::string path = folder / "agent.log", consolePath = folder / "console";
    std::FILE* console = std::fopen(consolePath.c_str(), "w");
    ASSERT_NE(console, nullptr);
    constexpr int kThreads = 8, kLines = 300;
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
        int whole = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line.find("Log file created") != std::string::npos)
                continue;
            const auto open = line.find("] <");
            ASSERT_TRUE(open != std::string::npos && line.back() == '>') << line;
            const std::string body = line.substr(open + 3, line.size() - open - 4);
            ASSERT_EQ(body.find_first_not_of(body.front()), std::string::npos) << "interleaved: " << line;
            ++whole;
        }
        EXPECT_EQ(whole, kThreads * kLines) << file;
    }
}

}  // namespace
}  // namespace quorvel
