// A virtual printer's output folder: raw stream file and one PNG per printed page.
#include "ble/sim/PrinterOutput.h"

#include "printer/PageRenderer.h"

#include <charconv>
#include <system_error>

namespace ble::sim {

namespace {

// A stream of garbage would otherwise log one line per run of unknown bytes.
constexpr std::uint64_t kMaxFlaggedLogLines = 20;

bool isSafeFileNameByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

// The N of an existing "page-N.png", or 0.
std::uint64_t pageNumberOf(const std::string& fileName) {
    constexpr std::string_view prefix = "page-";
    constexpr std::string_view suffix = ".png";
    if (fileName.size() <= prefix.size() + suffix.size() || !fileName.starts_with(prefix) ||
        !fileName.ends_with(suffix))
        return 0;
    const char* first = fileName.data() + prefix.size();
    const char* last = fileName.data() + fileName.size() - suffix.size();
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(first, last, number);
    return error == std::errc{} && end == last ? number : 0;
}

std::uint64_t highestPageNumber(const std::filesystem::path& folder) {
    std::uint64_t highest = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        highest = std::max(highest, pageNumberOf(it->path().filename().string()));
    return highest;
}

}  // namespace

std::string folderNameForPrinter(const std::string& printerName) {
    if (printerName.empty() || printerName == "." || printerName == "..") return "_";
    std::string folder = printerName;
    for (char& c : folder)
        if (!isSafeFileNameByte(c)) c = '_';
    return folder;
}

PrinterOutput::PrinterOutput(std::filesystem::path folder, LogFunction logFunction)
    : folder_(std::move(folder)), log_(std::move(logFunction)) {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) log("virtual printer: cannot create " + folder_.string() + ": " + error.message());
    stream_.open(folder_ / kStreamFileName, std::ios::binary | std::ios::app);
    if (!stream_) log("virtual printer: cannot open " + (folder_ / kStreamFileName).string() + " for appending");
    nextPageNumber_ = highestPageNumber(folder_) + 1;
}

void PrinterOutput::receive(std::span<const std::uint8_t> bytes) {
    if (stream_) {
        stream_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        // Flushed at once so that whoever watches the folder sees every byte received.
        stream_.flush();
        if (!stream_) log("virtual printer: cannot write " + (folder_ / kStreamFileName).string() + "; the stream is not kept");
    }
    decoder_.feed(bytes);
    logFlaggedCommands();
    writePages();
}

void PrinterOutput::writePages() {
    for (const printer::DecodedPage& page : decoder_.takePages()) {
        if (page.empty()) {
            log("virtual printer: an empty print image, no page printed");
            continue;
        }
        const auto path = folder_ / ("page-" + std::to_string(nextPageNumber_) + ".png");
        std::string error;
        if (printer::writePagePng(page, path, error)) {
            ++nextPageNumber_;
            ++pagesWritten_;
        } else {
            log("virtual printer: cannot write " + path.string() + ": " + error);
        }
    }
}

void PrinterOutput::logFlaggedCommands() {
    for (const printer::DecodedCommand& command : decoder_.takeCommands()) {
        if (!command.flagged() || flaggedLogged_ >= kMaxFlaggedLogLines) continue;
        ++flaggedLogged_;
        log("virtual printer: " + printer::describeCommand(command));
        if (flaggedLogged_ == kMaxFlaggedLogLines) log("virtual printer: further flagged bytes are not logged");
    }
}

void PrinterOutput::log(const std::string& line) const {
    if (log_) log_(line);
}

}  // namespace ble::sim
