// One item of a decoded command stream: a command with its parameters, or flagged bytes.
#include "printer/DecodedCommand.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace printer {

namespace {

std::string parameters(const DecodedCommand& command)
{
    char text[128] = "";
    switch (command.kind) {
    case CommandKind::Darkness:
        std::snprintf(text, sizeof text, "level=%u", command.level);
        break;
    case CommandKind::MediaType:
        std::snprintf(text, sizeof text, "selector=%02X code=%02X index=%d", command.mediaSelector,
                      command.mediaCode, command.mediaIndex());
        break;
    case CommandKind::ContinuousFeed:
        std::snprintf(text, sizeof text, "dots=%u", command.feedDots);
        break;
    case CommandKind::PrintImage:
        std::snprintf(text, sizeof text, "%ux%u (%u bytes x %u rows) page %" PRIu64,
                      8u * command.bytesPerRow, unsigned{command.rows}, unsigned{command.bytesPerRow},
                      unsigned{command.rows}, command.pageNumber);
        if (command.problem == Problem::TruncatedImage)
            std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text),
                          ", %" PRIu64 " of %" PRIu64 " image bytes received", command.length - kPrintImageHeaderLength,
                          std::uint64_t{command.bytesPerRow} * command.rows);
        break;
    case CommandKind::BlankPreamble:
    case CommandKind::StrayZeros:
        std::snprintf(text, sizeof text, "%" PRIu64 " bytes", command.length);
        break;
    case CommandKind::Unknown: {
        int used = std::snprintf(text, sizeof text, "%" PRIu64 " bytes:", command.length);
        const auto shown = std::min<std::uint64_t>(command.length, kUnknownSampleLength);
        for (std::size_t i = 0; i < shown; ++i)
            used += std::snprintf(text + used, sizeof text - used, " %02X", command.sample[i]);
        if (command.length > shown)
            std::snprintf(text + used, sizeof text - used, " ...");
        break;
    }
    default:
        break;
    }
    return text;
}

}  // namespace

std::string_view problemText(Problem problem)
{
    switch (problem) {
    case Problem::None: return "";
    case Problem::NotUnderstood: return "bytes not understood";
    case Problem::StrayZeros: return "zero bytes that are not a 128-byte blank preamble";
    case Problem::TruncatedImage: return "image data cut short by the end of the stream";
    case Problem::EmptyImage: return "image of zero width or zero height";
    case Problem::UnknownMediaCode: return "unknown media code";
    }
    return "";
}

int DecodedCommand::mediaIndex() const
{
    if (mediaCode % 0x10 != 0 || mediaCode < 0x10 || mediaCode > 0x50)
        return -1;
    return mediaCode / 0x10 - 1;
}

std::string describeCommand(const DecodedCommand& command)
{
    char head[64];
    std::snprintf(head, sizeof head, "%10" PRIu64 "  %s", command.offset,
                  std::string(commandName(command.kind)).c_str());
    std::string line = head;
    const std::string details = parameters(command);
    if (!details.empty())
        line += "  " + details;
    if (command.flagged())
        line += "  FLAGGED: " + std::string(problemText(command.problem));
    return line;
}

}  // namespace printer
