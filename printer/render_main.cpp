// pb-render: shows what a printer command stream would print, as PNG pages and a command list.
//
//   pb-render [STREAM_FILE|-] [-o OUTDIR]
//
// Reads the stream from STREAM_FILE, or from standard input when it is "-" or absent, and
// writes each page to OUTDIR/page-N.png (OUTDIR defaults to ".", created if missing; N
// counts print-image commands from 1). Standard output gets one line per decoded item
// (stream offset, name, parameters, and "FLAGGED: <reason>" for bytes not understood),
// then the path of each PNG, then a summary line.
//
// Exit status: 0 when the stream was understood completely; 2 when anything was flagged
// (whatever could be drawn is still written); 1 on a usage error or when the stream cannot
// be read or a PNG cannot be written.
#include "common/Version.h"
#include "printer/CommandStreamDecoder.h"
#include "printer/PageRenderer.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int kExitUnderstood = 0;
constexpr int kExitFailure = 1;
constexpr int kExitFlagged = 2;
constexpr int kExitUsage = 2;
constexpr std::size_t kReadChunk = 64 * 1024;

constexpr const char* kUsage =
    "usage: pb-render [STREAM_FILE|-] [-o OUTDIR]\n"
    "Decodes a printer command stream (from STREAM_FILE, or standard input when it is '-'\n"
    "or absent), writes every page as OUTDIR/page-N.png (OUTDIR defaults to '.') and lists\n"
    "the commands: stream offset, name, parameters; bytes not understood are FLAGGED.\n"
    "  --version    print the version and exit\n"
    "Exit status: 0 stream understood completely, 2 something flagged or a usage error, 1 I/O error.\n";

struct Options {
    std::string input = "-";
    std::filesystem::path outputDirectory = ".";
    bool help = false;
    bool version = false;
};

bool parseArguments(int argc, char* argv[], Options& options)
{
    bool haveInput = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "-o") {
            if (++i == argc)
                return false;
            options.outputDirectory = argv[i];
        } else if (argument.size() > 1 && argument[0] == '-') {
            return false;
        } else if (!haveInput) {
            options.input = argument;
            haveInput = true;
        } else {
            return false;
        }
    }
    return true;
}

// Feeds the stream to the decoder in chunks, as a printer receives it.
bool decodeInput(const std::string& input, printer::CommandStreamDecoder& decoder)
{
    FILE* stream = input == "-" ? stdin : std::fopen(input.c_str(), "rb");
    if (stream == nullptr) {
        std::fprintf(stderr, "pb-render: cannot open %s: %s\n", input.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<std::uint8_t> chunk(kReadChunk);
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), stream)) > 0)
        decoder.feed(std::span<const std::uint8_t>(chunk.data(), got));
    const bool failed = std::ferror(stream) != 0;
    if (stream != stdin)
        std::fclose(stream);
    if (failed) {
        std::fprintf(stderr, "pb-render: cannot read %s\n", input.c_str());
        return false;
    }
    decoder.finish();
    return true;
}

// Writes every page that has rows; an empty page has been flagged by the decoder already.
bool writePages(const std::vector<printer::DecodedPage>& pages, const std::filesystem::path& directory)
{
    std::error_code code;
    std::filesystem::create_directories(directory, code);
    if (code) {
        std::fprintf(stderr, "pb-render: cannot create %s: %s\n", directory.c_str(), code.message().c_str());
        return false;
    }
    for (const printer::DecodedPage& page : pages) {
        const auto path = directory / ("page-" + std::to_string(page.number) + ".png");
        std::string error;
        if (page.empty()) {
            std::printf("page %" PRIu64 ": nothing to draw\n", page.number);
        } else if (printer::writePagePng(page, path, error)) {
            std::printf("%s\n", path.c_str());
        } else {
            std::fprintf(stderr, "pb-render: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    Options options;
    if (!parseArguments(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return kExitUnderstood;
    }
    if (options.version) {
        std::printf("pb-render %s\n", pb::kVersion);
        return kExitUnderstood;
    }
    printer::CommandStreamDecoder decoder;
    if (!decodeInput(options.input, decoder))
        return kExitFailure;
    for (const printer::DecodedCommand& command : decoder.commands())
        std::printf("%s\n", printer::describeCommand(command).c_str());
    if (decoder.droppedCommands() > 0)
        std::printf("(%" PRIu64 " more items not listed)\n", decoder.droppedCommands());
    if (!writePages(decoder.pages(), options.outputDirectory))
        return kExitFailure;
    std::printf("%" PRIu64 " bytes, %zu pages, %" PRIu64 " flagged\n", decoder.bytesFed(), decoder.pages().size(),
                decoder.flaggedCount());
    return decoder.understoodCompletely() ? kExitUnderstood : kExitFlagged;
}
