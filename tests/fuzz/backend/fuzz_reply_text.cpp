// Fuzzes the reading of the agent's reply texts: UTF-8 check, word split, pairs, name checks.
#include "backend/DeviceLine.h"
#include "backend/PrinterChecker.h"
#include "backend/ReplyText.h"
#include "common/LogLine.h"
#include "common/Words.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!pb::isValidUtf8(text))
        return 0;
    for (const auto& action : backend::parseReplyText(text)) {
        if (action.kind != backend::ReplyAction::Kind::QueryCallback)
            continue;
        const std::string name(pb::trimWhitespace(action.value));
        if (!backend::isSafePrinterName(name))
            continue;
        const std::string line = backend::deviceLine(name, backend::PrinterChecker::checkForWhitelistedPrinters(name));
        // A safe name can never make more than one line.
        if (line.find_first_of("\r\n") != std::string::npos)
            std::abort();
    }
    const std::string logLine = pb::formatLogLine(false, {}, text);
    if (logLine.find('\n') != logLine.size() - 1)
        std::abort();
    return 0;
}
