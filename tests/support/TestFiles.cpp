// Files and deadline-bounded waits for the process tests.
#include "support/TestFiles.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <thread>

namespace pbtest {

bool waitUntil(const std::function<bool()>& condition, Clock::duration limit) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::string& content, unsigned mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

}  // namespace pbtest
