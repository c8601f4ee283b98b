// Parsing of the simulated radio's control lines.
#include "ble/sim/ControlCommand.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

namespace ble::sim {

namespace {

constexpr std::size_t kMaxQuotedControlLine = 80;

}  // namespace

std::string quoted(const std::string& line) {
    std::string text = line.substr(0, kMaxQuotedControlLine);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return "\"" + text + (line.size() > kMaxQuotedControlLine ? "...\"" : "\"");
}

namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Two-word verbs are matched first as a whole.
constexpr std::array<std::pair<std::string_view, ControlCommand::Verb>, 10> kVerbs{{
    {"credits stop", ControlCommand::Verb::stopCredits},
    {"credits resume", ControlCommand::Verb::resumeCredits},
    {"power off", ControlCommand::Verb::powerOff},
    {"power on", ControlCommand::Verb::powerOn},
    {"leave", ControlCommand::Verb::leave},
    {"return", ControlCommand::Verb::comeBack},
    {"drop", ControlCommand::Verb::drop},
    {"rate", ControlCommand::Verb::rate},
    {"fail", ControlCommand::Verb::failNextConnection},
    {"restart", ControlCommand::Verb::restart},
}};

// Splits the first word off `text`: returns it and leaves the trimmed rest in `text`.
std::string_view takeWord(std::string_view& text) {
    const auto space = text.find_first_of(kBlanks);
    const std::string_view word = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view{} : trim(text.substr(space));
    return word;
}

}  // namespace

std::optional<ControlCommand> ControlCommand::parse(std::string_view line, std::string& why) {
    std::string_view rest = trim(line);
    const std::string_view first = takeWord(rest);
    std::string_view afterSecond = rest;
    const std::string_view second = takeWord(afterSecond);
    const std::string twoWords = std::string(first) + " " + std::string(second);

    ControlCommand command;
    auto known = std::find_if(kVerbs.begin(), kVerbs.end(), [&](const auto& v) { return v.first == twoWords; });
    if (known != kVerbs.end()) {
        rest = afterSecond;
    } else {
        known = std::find_if(kVerbs.begin(), kVerbs.end(), [&](const auto& v) { return v.first == first; });
    }
    if (known == kVerbs.end()) {
        why = "unknown command";
        return std::nullopt;
    }
    command.verb = known->second;
    if (command.forRadio()) {
        if (!rest.empty()) {
            why = "this command names no printer";
            return std::nullopt;
        }
        return command;
    }
    if (command.verb == Verb::rate) {
        const auto lastBlank = rest.find_last_of(kBlanks);
        const std::string_view number = lastBlank == std::string_view::npos ? rest : rest.substr(lastBlank + 1);
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), command.bytesPerSecond);
        if (lastBlank == std::string_view::npos || number.empty() || error != std::errc{} ||
            end != number.data() + number.size()) {
            why = "rate needs a printer name and a number of bytes per second";
            return std::nullopt;
        }
        rest = trim(rest.substr(0, lastBlank));
    }
    if (rest.empty()) {
        why = "no printer named";
        return std::nullopt;
    }
    command.printer = std::string(rest);
    return command;
}

}  // namespace ble::sim
