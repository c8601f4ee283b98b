// The agent's log: thread tags, the file's first line, and whole lines under concurrent logging.
#include "quorvel/Logger.h"

#include "ShellTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace quorvel::test {
namespace {

using namespace std::chrono_literals;

TEST(Logger, FirstLineSaysHowTheLogWasFoundTagsTellThreadsApartAndALostFileCostsNoMore) {
    TempFolder folder;
    const std::string path = folder / "agent.log";
    const auto mainThread = std::this_thread::get_id();
    {
        Logger logger(path, [mainThread] { return std::this_thread::get_id() == mainThread; }, nullptr);
        logger.log("from main");
        std::thread([&] { logger.log("from elsewhere\nsecond line"); }).join();
        // A flood of one line is one line and a note; a huge message is cut with a mark.
        for (int i = 0; i < 1000; ++i) logger.log("flood");
        logger.log(std::string(100000, 'z'));
    }
    std::istringstream lines(readFile(path));
    // A line feed inside a message stays inside its entry, shown escaped.
    for (auto [tag, tail] : {std::pair{"main:[", "] Log file created at: " + path}, {"main:[", "] from main"},
                             {"not-main:[", "] from elsewhere\\x0asecond line"}, {"main:[", "] flood"},
                             {"main:[", "] last line repeated 999 times"},
                             {"main:[", "] " + std::string(4096, 'z') + " [... 95904 more bytes not logged]"}}) {
        std::string line;
        std::getline(lines, line);
        EXPECT_TRUE(line.starts_with(tag) && line.ends_with(tail)) << line;
    }
    EXPECT_TRUE(lines.peek() == EOF);
    Logger again(path, [] { return true; }, nullptr);
    EXPECT_TRUE(readFile(path).ends_with("] Log file already exists at: " + path + "\n"));
    // A removed log is not created again, but used once it is back: the removal is noticed
    // at the first line of a new second.
    std::filesystem::remove(path);
    for (const auto second = std::time(nullptr); std::time(nullptr) == second;) std::this_thread::sleep_for(10ms);
    again.log("lost");
    EXPECT_FALSE(std::filesystem::exists(path));
    { std::ofstream recreated(path); }
    again.log("two");
    EXPECT_TRUE(readFile(path).ends_with("] two\n") && readFile(path).find("lost") == std::string::npos);
    // A missing folder costs only the file.
    Logger lost(folder / "no/such/folder/agent.log", [] { return true; }, nullptr);
    lost.log("still fine");
    EXPECT_FALSE(std::filesystem::exists(folder / "no"));
}

TEST(Logger, ConcurrentLinesStayWholeInFileAndConsole) {
    TempFolder folder;
    const std::string path = folder / "agent.log", consolePath = folder / "console";
    std::FILE* console = std::fopen(consolePath.c_str(), "w");
    ASSERT_NE(console, nullptr);
    constexpr int kThreads = 8, kLines = 300;
    // Each line differs from the one before, or it would be folded.
    auto message = [](int thread, int line) {
        return "<" + std::string(100 + thread * 37, static_cast<char>('a' + thread)) + ">" + std::to_string(line % 2);
    };
    {
        Logger logger(path, [] { return false; }, console);
        std::vector<std::jthread> threads;
        for (int thread = 0; thread < kThreads; ++thread)
            threads.emplace_back([&, thread] {
                for (int line = 0; line < kLines; ++line) logger.log(message(thread, line));
            });
    }
    std::fclose(console);
    // Every line whole: each thread's line appears as often as it was logged, and nothing else.
    for (const std::string& file : {path, consolePath}) {
        const std::string text = readFile(file);
        std::istringstream lines(text);
        int entries = 0;  // the console separates its entries by blank lines
        for (std::string line; std::getline(lines, line);) entries += line.empty() ? 0 : 1;
        EXPECT_EQ(entries, kThreads * kLines + 1) << file;  // and the log's first line
        for (int thread = 0; thread < kThreads; ++thread) {
            int whole = 0;
            for (int parity = 0; parity < 2; ++parity) {
                const std::string line = "] " + message(thread, parity) + "\n";
                for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++whole;
            }
            EXPECT_EQ(whole, kLines) << file << " thread " << thread;
        }
    }
}

}  // namespace
}  // namespace quorvel::test
