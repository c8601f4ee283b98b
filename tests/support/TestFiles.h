// Files and waits for tests that run real processes: a file's whole text, writing one with its
// mode, and a wait for a condition bounded by a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace pbtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Checks `condition` every few milliseconds until it holds (true) or `limit` has passed (false).
bool waitUntil(const std::function<bool()>& condition, Clock::duration limit);
std::string readFile(const std::string& path);  // empty when it cannot be read
void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);

}  // namespace pbtest
