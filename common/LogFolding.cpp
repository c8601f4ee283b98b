#include "common/LogFolding.h"

#include "common/Words.h"

namespace pb {

namespace {

std::string repeatNote(std::uint64_t repeats)
{
    return "last line repeated " + std::to_string(repeats) + " times";
}

}  // namespace

std::vector<std::string> LogFolding::next(std::string_view message)
{
    std::vector<std::string> lines;
    std::lock_guard lock(mutex_);
    if (any_ && message == last_) {
        if (++repeats_ == kRepeatNoteEvery) {
            lines.push_back(repeatNote(repeats_));
            repeats_ = 0;
        }
        return lines;
    }
    if (repeats_ > 0)
        lines.push_back(repeatNote(repeats_));
    repeats_ = 0;
    any_ = true;
    last_.assign(message);
    if (message.size() <= kMaxLogMessageBytes) {
        lines.emplace_back(message);
        return lines;
    }
    const std::string_view kept = utf8Prefix(message, kMaxLogMessageBytes);
    lines.push_back(std::string(kept) + " [... " + std::to_string(message.size() - kept.size()) + " more bytes not logged]");
    return lines;
}

}  // namespace pb
