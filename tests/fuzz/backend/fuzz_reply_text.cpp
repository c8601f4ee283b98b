// Fuzzes the reading of the agent's reply texts: UTF-8 check, word split, pairs, name checks,
// report details and the lines they give CUPS; and the joining of a text that arrives in reads
// split anywhere: whole pairs handled early must give the same words as the text read at once.
#include "backend/DeviceLine.h"
#include "backend/JobProgress.h"
#include "backend/PrinterChecker.h"
#include "backend/ReplyText.h"
#include "common/LogLine.h"
#include "common/Words.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Feeds `text` in reads cut at points drawn from the text itself, handling the whole pairs
// after each read as an overlong reply is handled, and the rest at the end.
void checkSplitReads(std::string_view text)
{
    std::vector<std::string> words;
    std::string joined;
    std::size_t seed = text.size();
    for (std::size_t at = 0; at < text.size();) {
        seed = seed * 31 + static_cast<unsigned char>(text[at]);
        const std::size_t length = std::min(text.size() - at, 1 + seed % 17);
        joined.append(text.substr(at, length));
        at += length;
        const std::size_t end = backend::endOfWholePairs(joined);
        const auto handled = pb::splitWords(std::string_view(joined).substr(0, end));
        if (handled.size() % 2 != 0)
            std::abort();  // a pair was cut
        words.insert(words.end(), handled.begin(), handled.end());
        joined.erase(0, end);
    }
    const auto rest = pb::splitWords(joined);
    words.insert(words.end(), rest.begin(), rest.end());
    if (words != pb::splitWords(text))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    checkSplitReads(text);
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
