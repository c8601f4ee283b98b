// Fuzzes the reading of the agent's reply texts: UTF-8 check, word split, pairs, name checks,
// report details and the lines they give CUPS.
#include "backend/DeviceLine.h"
#include "backend/JobProgress.h"
#include "backend/PrinterChecker.h"
#include "backend/ReplyText.h"
#include "common/LogLine.h"
#include "common/Words.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!pb::isValidUtf8(text))
        return 0;
    backend::JobProgress progress;
    for (const auto& action : backend::parseReplyText(text)) {
        if (action.kind == backend::ReplyAction::Kind::Status) {
            if (action.progress && action.progress->sent > action.progress->total)
                std::abort();
            const auto lines = progress.report(pb::parseStatusWord(action.value), action.progress, action.pages);
            // A percentage past 100 would mean the arithmetic overflowed.
            constexpr std::string_view kSending = "Sending to the printer: ";
            if (lines.info && lines.info->starts_with(kSending) && std::stoull(lines.info->substr(kSending.size())) > 100)
                std::abort();
        }
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
