// Fuzzes the reading of lpstat's queue list, line by line: every name found lies within its
// line and runs to no slash; and the reading of the same bytes as lpstat -p's queue states: a
// queue only has a state when a line begins with its "printer Q ".
#include "quorvel/PrinterChecker.h"
#include "quorvel/QueueStateList.h"

#include <algorithm>
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
    const quorvel::QueueStateList states = quorvel::QueueStateList::parse(output);
    std::size_t statedLines = 0;
    std::size_t start = 0;
    while (start <= output.size()) {
        const std::size_t end = std::min(output.find('\n', start), output.size());
        const std::string line = output.substr(start, end - start);
        checkName(quorvel::PrinterChecker::extractBTPrinterName(line), line, true);
        checkName(quorvel::PrinterChecker::extractUsbPrinterName(line), line, true);
        checkName(quorvel::PrinterChecker::extractQueueName(line), line, false);
        if (line.starts_with("printer ") && line.find(' ', 8) != std::string::npos &&
            states.stateOf(line.substr(8, line.find(' ', 8) - 8)))
            ++statedLines;
        start = end + 1;
    }
    // Every queue with a state was named by one of these lines ('\r' also ends a line there).
    if (states.size() > statedLines + static_cast<std::size_t>(std::count(output.begin(), output.end(), '\r')))
        std::abort();
    return 0;
}
