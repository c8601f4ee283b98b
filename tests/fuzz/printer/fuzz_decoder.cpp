// Fuzz target: the decoder never crashes, and feeding in chunks agrees with feeding whole.
#include "printer/CommandStreamDecoder.h"
#include "printer/PageRenderer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace {

// Pages up to this many bytes are also rendered, to exercise the PNG encoder without
// letting one input spend the run on compression.
constexpr std::size_t kMaxRenderedPageBytes = 64 * 1024;

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_decoder: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> stream(data, size);
    const auto whole = printer::CommandStreamDecoder::decodeAll(stream);

    // Chunk sizes come from the input itself, so the fuzzer explores the cuts too; the
    // sizes 1..64 reach every state boundary quickly.
    printer::CommandStreamDecoder chunked;
    std::size_t at = 0;
    std::size_t step = 0;
    while (at < size) {
        const std::size_t count = std::min<std::size_t>(1 + data[step++ % size] % 64, size - at);
        chunked.feed(stream.subspan(at, count));
        at += count;
    }
    chunked.finish();

    require(chunked.commands() == whole.commands(), "commands differ between chunked and whole feeding");
    require(chunked.pages() == whole.pages(), "pages differ between chunked and whole feeding");
    require(chunked.flaggedCount() == whole.flaggedCount(), "flag counts differ");
    require(whole.bytesFed() == size, "not every byte was decoded");

    std::uint64_t covered = 0;
    for (const auto& command : whole.commands()) {
        require(command.offset == covered, "items do not tile the stream");
        covered += command.length;
        (void)printer::describeCommand(command);
    }
    require(whole.droppedCommands() > 0 || covered == size, "items do not cover the stream");

    for (const auto& page : whole.pages()) {
        if (page.packed.size() > kMaxRenderedPageBytes)
            continue;
        std::string error;
        const auto png = printer::encodePagePng(page, error);
        require(png.has_value() == !page.empty(), "a page with rows did not render, or an empty one did");
    }
    return 0;
}
