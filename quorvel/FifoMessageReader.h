// Reads a FIFO one writer session at a time: what writers write between the first open and
// the moment none is left is one text. Waits in poll(), never spins, and can be woken.
#pragma once

#include "common/WakeEvent.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>

namespace quorvel {

// The reader keeps the FIFO open for reading at all times (it opens the next read end before
// it closes the last), so a writer never blocks for want of a reader between two texts and no
// written byte is lost in the switch. One thread calls next(); stop() may come from any thread.
class FifoMessageReader {
public:
    // Texts longer than `maxText` bytes are read to their end and dropped (Oversized), so a
    // writer cannot make the reader hold more than that.
    explicit FifoMessageReader(std::size_t maxText) : maxText_(maxText) {}
    ~FifoMessageReader();
    FifoMessageReader(const FifoMessageReader&) = delete;
    FifoMessageReader& operator=(const FifoMessageReader&) = delete;

    // Opens `path`, which must be a FIFO (ENODEV otherwise); does not wait for a writer.
    std::error_code open(const std::string& path);

    enum class Result { Message, Stopped, Failed, Oversized };
    // Waits for the next text and sets `text` to it: the bytes of one writer, or of several
    // whose sessions overlapped. A writer that writes nothing gives no text. Oversized: the
    // text ran past the limit; `text` is empty and droppedBytes() says how long it was.
    Result next(std::string& text, std::error_code& error);
    std::uint64_t droppedBytes() const { return dropped_; }

    // The next text ends after `length` bytes, whether or not its writers have closed the FIFO
    // (bytes past it begin the text after); once used, texts end with their writers again. Any
    // thread.
    void expectLength(std::uint64_t length) { expected_ = length; }

    // Makes the next() in progress (or the next one) return Stopped. Stays stopped.
    void stop();

    static constexpr std::size_t kReadChunk = 65536;
    static constexpr int kPipeSize = 1 << 20;
    // A writer that opened just before the read end was renewed may leave without a hang-up
    // event on the new end; while part of a text is in, its end is also checked this often.
    static constexpr std::chrono::milliseconds kPartialTextCheck{50};

private:
    std::error_code renew();
    // True, with `text` cut to the expected length and the rest carried, once it is all in.
    bool takeExpected(std::string& text);

    std::size_t maxText_;
    std::uint64_t dropped_ = 0;
    std::atomic<std::uint64_t> expected_{0};  // 0: the writers' close ends the text
    std::string carried_;                     // bytes read past an expected length
    std::string path_;
    int readFd_ = -1;
    pb::WakeEvent wake_;
};

}  // namespace quorvel
