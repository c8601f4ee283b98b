// The FIFO channel between the backend and the agent: paths, message texts and status words.
#include "common/Channel.h"

#include "common/RootPath.h"

#include <algorithm>

namespace pb {

ChannelPaths rootedChannelPaths()
{
    return {rootedPath(kCommandChannel), rootedPath(kPrintDataChannel), rootedPath(kReplyChannel),
            rootedPath(kChannelLock)};
}

std::string doPrintMessage(std::string_view deviceUri, std::uint64_t printDataLength)
{
    return std::string(kDoPrintWord) + " " + std::string(deviceUri) + " " + std::string(kLengthPrefix) +
           std::to_string(printDataLength);
}

std::optional<std::uint64_t> printDataLength(const std::vector<std::string>& words)
{
    constexpr std::size_t kMaxDigits = 15;
    for (std::size_t index = 2; index < words.size(); ++index) {
        const std::string_view word = words[index];
        if (!word.starts_with(kLengthPrefix))
            continue;
        const std::string_view digits = word.substr(kLengthPrefix.size());
        if (digits.empty() || digits.size() > kMaxDigits ||
            digits.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        return std::stoull(std::string(digits));
    }
    return std::nullopt;
}

std::string cancelPrintMessage(std::string_view deviceUri)
{
    return std::string(kCancelPrintWord) + " " + std::string(deviceUri);
}

std::string queuedReport()
{
    return std::string(kStatusWord) + " queued ";
}

std::string connectingReport()
{
    return std::string(kStatusWord) + " connecting ";
}

std::string sendingReport(std::uint64_t sentBytes, std::uint64_t totalBytes, std::uint64_t pagesDone)
{
    return std::string(kStatusWord) + " sending " + std::string(kProgressKey) + " " + std::to_string(sentBytes) + "/" +
           std::to_string(totalBytes) + " " + std::string(kPagesKey) + " " + std::to_string(pagesDone) + " ";
}

std::string notInRangeReport()
{
    return std::string(kStatusWord) + " not_in_range ";
}

std::string addPrintMessage(std::string_view printerName)
{
    return std::string(kAddPrintWord) + " " + std::string(printerName) + " ";
}

std::string queryCallbackMessage(std::string_view printerName)
{
    return std::string(kQueryCallbackWord) + " " + std::string(printerName) + " ";
}

std::string deviceUri(std::string_view printerName)
{
    return std::string(kDeviceUriScheme) + std::string(printerName);
}

StatusWord parseStatusWord(std::string_view value)
{
    // ASCII lower-casing only: the words are ASCII, and a locale must not change the result.
    std::string lower(value);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    if (lower == "finished")
        return StatusWord::Finished;
    if (lower == "error")
        return StatusWord::Error;
    if (lower == "paper_out")
        return StatusWord::PaperOut;
    if (lower == "busy")
        return StatusWord::Busy;
    if (lower == "start")
        return StatusWord::Start;
    if (lower == "queued")
        return StatusWord::Queued;
    if (lower == "connecting")
        return StatusWord::Connecting;
    if (lower == "sending")
        return StatusWord::Sending;
    if (lower == "not_in_range")
        return StatusWord::NotInRange;
    return StatusWord::Other;
}

}  // namespace pb
