// Where the commands of a job's byte stream lie: how many pages a given number of sent bytes
// completes, and what a printer cut off in the middle of the job needs to reach the end of the
// command it is in. No I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvel {

class JobLayout {
public:
    // Reads the command stream once. The job is not kept: every query below is answered from
    // the spans found here, so the caller passes the same bytes again where bytes are needed.
    explicit JobLayout(std::span<const std::uint8_t> job);

    // Print-image commands whose rows lie wholly within the first `sentBytes` bytes.
    std::uint64_t pagesDoneAt(std::size_t sentBytes) const;
    std::uint64_t pageCount() const { return imageEnds_.size(); }

    // The bytes that take a printer that has received exactly `job[0, cutAt)` to the end of the
    // command it is in: the rest of that command's own bytes for a fixed command, the rest of
    // the header and then zero rows (blank dots) for a print image. Empty when the cut lies
    // between commands, or inside bytes that begin no command.
    std::vector<std::uint8_t> completionAt(std::span<const std::uint8_t> job, std::size_t cutAt) const;

private:
    struct Span {
        std::size_t start;
        std::size_t end;         // one past the command's last byte (image rows included)
        std::size_t headerEnd;   // for a print image, one past its header; else == end
    };
    const Span* spanHolding(std::size_t offset) const;

    std::vector<Span> spans_;            // every command, in stream order
    std::vector<std::size_t> imageEnds_;  // end of each print image, ascending
};

}  // namespace quorvel
