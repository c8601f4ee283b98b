// Fuzzes what the agent reads from its FIFOs: a command text through the dispatcher, a job
// text through both hex readers, which must agree wherever the fast one accepts the text, and
// the reader itself with the text written in pieces, over its limit or cut at a given length.
#include "quorvel/Logger.h"
#include "quorvel/MessageDispatcher.h"
#include "quorvel/PellBluetoothBackend.h"

#include "common/HexText.h"
#include "quorvel/FifoMessageReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct QuietLogger : quorvel::Logger {
    void log(std::string_view) override {}
};

// A FIFO of the fuzzer's own, made once.
const std::string& fifoPath()
{
    static const std::string path = [] {
        std::string folder = (std::filesystem::temp_directory_path() / "pb-fuzz-reader-XXXXXX").string();
        if (mkdtemp(folder.data()) == nullptr || mkfifo((folder + "/fifo").c_str(), 0600) != 0)
            std::abort();
        return folder + "/fifo";
    }();
    return path;
}

// The first bytes choose the reader's limit and an expected length; the rest is written in
// pieces whose lengths come from the text itself, in one writer session.
void checkReader(std::string_view input)
{
    if (input.size() < 2)
        return;
    const std::size_t limit = 1 + static_cast<unsigned char>(input[0]);
    const std::size_t expected = static_cast<unsigned char>(input[1]) % 64;  // 0: none
    const std::string_view text = input.substr(2);
    quorvel::FifoMessageReader reader(limit);
    if (reader.open(fifoPath()))
        std::abort();
    if (expected > 0)
        reader.expectLength(expected);
    const int writer = ::open(fifoPath().c_str(), O_WRONLY | O_NONBLOCK);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t piece = std::min<std::size_t>(text.size() - at, 1 + static_cast<unsigned char>(text[at]) % 7);
        if (::write(writer, text.data() + at, piece) != static_cast<ssize_t>(piece))
            std::abort();
        at += piece;
    }
    ::close(writer);
    if (text.empty())
        return;  // a silent writer gives no text (next() would wait)
    std::string read;
    std::error_code error;
    const auto result = reader.next(read, error);
    // The pipe holds the whole text before the read, so it is taken in one piece.
    if (text.size() > limit) {
        if (result != quorvel::FifoMessageReader::Result::Oversized || reader.droppedBytes() != text.size())
            std::abort();
        return;
    }
    const bool cut = expected > 0 && expected < text.size();
    if (result != quorvel::FifoMessageReader::Result::Message || read != text.substr(0, cut ? expected : text.size()))
        std::abort();
    // What came past the length is the next text, whole. (Checked now and then: with no writer
    // left, the reader waits out its partial-text check before it sees the end.)
    if (cut && input[0] % 16 == 0 && (reader.next(read, error) != quorvel::FifoMessageReader::Result::Message || read != text.substr(expected)))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    QuietLogger logger;
    quorvel::DispatcherActions actions;
    actions.startScan = [] {};
    actions.setDeviceName = [](const std::string&) {};
    actions.startCommunication = [] {};
    actions.checkPrinterLoop = [](const std::string&) {};
    actions.performStart = [](const std::vector<std::string>& words) {
        for (const std::string& word : words)
            if (word.empty())
                std::abort();
    };
    quorvel::MessageDispatcher(logger, actions).dispatch(text);
    checkReader(text);

    const auto fast = pb::decodeHex(text);
    const auto careful = quorvel::PellBluetoothBackend::hexStringToData(text);
    if (fast && careful != fast)
        std::abort();
    return 0;
}
