// Fuzzes the search of lpstat's output for served models, with the output given by a fake.
#include "backend/PrinterChecker.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

class CannedRunner : public pb::ProcessRunner {
public:
    std::string output;
    pb::CommandResult run(const pb::Command&) override { return {true, 0, output, {}}; }
    bool launch(const pb::Command&, std::string&) override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static CannedRunner runner;
    static std::FILE* sink = std::fopen("/dev/null", "w");
    runner.output.assign(reinterpret_cast<const char*>(data), size);
    backend::PrinterChecker checker(runner, "/usr/bin/lpstat", sink);
    (void)checker.checkForWhitelistedPrinters();
    return 0;
}
