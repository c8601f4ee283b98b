// Fuzzes the reading of lpstat's queue list, line by line: every name found lies within its
// line and runs to no slash.
#include "quorvel/PrinterChecker.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void checkName(const std::optional<std::string>& name, const std::string& line, bool slashFree)
{
    if (!name)
        return;
    if (name->empty() || line.find(*name) == std::string::npos ||
        (slashFree && name->find('/') != std::string::npos))
        std::abort();
    (void)quorvel::PrinterChecker::checkForWhitelistedPrinters(*name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string output(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= output.size()) {
        const std::size_t end = std::min(output.find('\n', start), output.size());
        const std::string line = output.substr(start, end - start);
        checkName(quorvel::PrinterChecker::extractBTPrinterName(line), line, true);
        checkName(quorvel::PrinterChecker::extractUsbPrinterName(line), line, true);
        checkName(quorvel::PrinterChecker::extractQueueName(line), line, false);
        start = end + 1;
    }
    return 0;
}
