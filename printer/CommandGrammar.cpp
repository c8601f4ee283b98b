// The printer's command grammar: the byte patterns the virtual printer recognises.
#include "printer/CommandGrammar.h"

#include <array>

namespace printer {

namespace {

// A pattern byte is a literal 0..255 or kAny, which any byte matches (a parameter).
constexpr std::int16_t kAny = -1;

struct Pattern {
    CommandKind kind;
    std::span<const std::int16_t> bytes;
};

// Written out here rather than taken from the filters' builders, so that the decoder
// checks the filters' output against an independent reading of the command set.
constexpr std::array<std::int16_t, 4> kEnable{0x10, 0xFF, 0xF1, 0x03};
constexpr std::array<std::int16_t, 4> kDisable{0x10, 0xFF, 0xF1, 0x45};
constexpr std::array<std::int16_t, 5> kDarkness{0x10, 0xFF, 0x10, 0x00, kAny};
constexpr std::array<std::int16_t, 4> kMediaTypeOne{0x1F, 0x80, 0x01, kAny};
constexpr std::array<std::int16_t, 4> kMediaTypeTwo{0x1F, 0x80, 0x02, kAny};
constexpr std::array<std::int16_t, 1> kLineFeed{0x0A};
constexpr std::array<std::int16_t, 3> kExitPaper{0x1F, 0x11, 0x51};
constexpr std::array<std::int16_t, kPrintImageHeaderLength> kPrintImage{0x1D, 0x76, 0x30, 0x00,
                                                                        kAny, kAny, kAny, kAny};
constexpr std::array<std::int16_t, 2> kLabelFeed{0x1D, 0x0C};
constexpr std::array<std::int16_t, 3> kContinuousFeed{0x1B, 0x4A, kAny};
constexpr std::array<std::int16_t, 3> kEndJob{0x1B, 0xBB, 0xBB};
constexpr std::array<std::int16_t, 20> kSetKey{0x1B, 0x1C, '&', ' ', 'V', '1', ' ', 's', 'e', 't',
                                               'k', 'e', 'y', 0x0D, 0x0A, 0x01, 0xCE, 0x00, 0x01, 0x00};
constexpr std::array<std::int16_t, kLongestPattern> kSaveParameters{
    0x1B, 0x1C, '&', ' ', 'V', '1', ' ', 'd', 'o', ' ', '"', 's', 'a', 'v', 'e',
    '_', 'p', 'a', 'r', 'a', 'm', '_', 'z', 'o', 'n', 'e', '"', 0x0D, 0x0A};

constexpr std::array<Pattern, 13> kPatterns{{
    {CommandKind::Enable, kEnable},
    {CommandKind::Disable, kDisable},
    {CommandKind::Darkness, kDarkness},
    {CommandKind::MediaType, kMediaTypeOne},
    {CommandKind::MediaType, kMediaTypeTwo},
    {CommandKind::LineFeed, kLineFeed},
    {CommandKind::ExitPaper, kExitPaper},
    {CommandKind::PrintImage, kPrintImage},
    {CommandKind::LabelFeed, kLabelFeed},
    {CommandKind::ContinuousFeed, kContinuousFeed},
    {CommandKind::EndJob, kEndJob},
    {CommandKind::SetKey, kSetKey},
    {CommandKind::SaveParameters, kSaveParameters},
}};

bool agrees(const Pattern& pattern, std::span<const std::uint8_t> prefix)
{
    if (prefix.size() > pattern.bytes.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (pattern.bytes[i] != kAny && pattern.bytes[i] != prefix[i])
            return false;
    }
    return true;
}

}  // namespace

std::string_view commandName(CommandKind kind)
{
    switch (kind) {
    case CommandKind::Enable: return "enable";
    case CommandKind::Disable: return "disable";
    case CommandKind::Darkness: return "darkness";
    case CommandKind::MediaType: return "media-type";
    case CommandKind::LineFeed: return "line-feed";
    case CommandKind::ExitPaper: return "exit-paper";
    case CommandKind::PrintImage: return "print-image";
    case CommandKind::LabelFeed: return "label-feed";
    case CommandKind::ContinuousFeed: return "continuous-feed";
    case CommandKind::EndJob: return "end-job";
    case CommandKind::SetKey: return "set-key";
    case CommandKind::SaveParameters: return "save-parameters";
    case CommandKind::BlankPreamble: return "blank-preamble";
    case CommandKind::StrayZeros: return "stray-zeros";
    case CommandKind::Unknown: return "unknown";
    }
    return "unknown";
}

PatternMatch matchCommand(std::span<const std::uint8_t> prefix)
{
    PatternMatch result;
    for (const Pattern& pattern : kPatterns) {
        if (!agrees(pattern, prefix))
            continue;
        if (prefix.size() == pattern.bytes.size())
            return {PatternVerdict::Complete, pattern.kind};
        result.verdict = PatternVerdict::Incomplete;
    }
    return result;
}

}  // namespace printer
