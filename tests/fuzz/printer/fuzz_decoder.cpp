// Fuzz target: the decoder never crashes, and feeding in chunks agrees with feeding whole.
#include "printer/CommandStreamDecoder.h"
#include "printer/PageRenderer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

// Pages up to this many bytes are also rendered, to exercise the PNG encoder without letting one
// input spend the run on compression.
constexpr std::size_t kMaxRenderedPageBytes = 64 * 1024;

static void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_decoder: %s\n", what);
        std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> stream(data, size);
    const auto whole = printer::CommandStreamDecoder::decodeAll(stream);
    // Chunk sizes 1..64 come from the input itself, so the fuzzer explores the cuts too.
    printer::CommandStreamDecoder chunked;
    for (std::size_t at = 0, step = 0, count = 0; at < size; at += count) {
        count = std::min<std::size_t>(1 + data[step++ % size] % 64, size - at);
        chunked.feed(stream.subspan(at, count));
    }
    chunked.finish();
    require(chunked.commands() == whole.commands() && chunked.pages() == whole.pages() &&
                chunked.flaggedCount() == whole.flaggedCount(),
            "chunked and whole feeding differ");
    require(whole.bytesFed() == size, "not every byte was decoded");

    std::uint64_t covered = 0;
    for (const auto& command : whole.commands()) {
        require(command.offset == covered, "items do not tile the stream");
        covered += command.length;
        (void)printer::describeCommand(command);
    }
    require(whole.droppedCommands() > 0 || covered == size, "items do not cover the stream");
    for (const auto& page : whole.pages()) {
        std::string error;
        if (page.packed.size() <= kMaxRenderedPageBytes)
            require(printer::encodePagePng(page, error).has_value() == !page.empty(), "a page rendered wrongly");
    }
    return 0;
}
