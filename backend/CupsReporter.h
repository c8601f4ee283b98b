// The lines CUPS reads from a backend's standard error and shows to people: "INFO:",
// "WARNING:", "ERROR:", "STATE: +reason" / "STATE: -reason" and "ATTR: name=value".
#pragma once

#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace backend {

class CupsReporter {
public:
    // `stream` is not owned; the program passes unbuffered standard error.
    explicit CupsReporter(std::FILE* stream) : stream_(stream) {}
    static CupsReporter& shared();

    // Each writes one line. Thread-safe.
    void info(std::string_view text);
    void warning(std::string_view text);
    void error(std::string_view text);
    // Sets a job attribute, such as job-impressions-completed.
    void attribute(std::string_view name, std::string_view value);
    // Sets a printer-state reason; every reason set is cleared again by clearStates(), which the
    // backend calls before it exits.
    void addState(std::string_view reason);
    void clearStates();

private:
    void line(std::string_view prefix, std::string_view text);

    std::FILE* stream_;
    std::mutex mutex_;
    std::set<std::string> reasons_;
};

}  // namespace backend
