// The credit-paced sending of jobs over one printer's link: credits, MTU, the longest write the
// link carries, the job in hand, and what a cut job leaves the printer needing. No I/O: the BLE
// manager asks it for each chunk and writes it.
#pragma once

#include "quorvel/JobLayout.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace quorvel {

using JobBytes = std::vector<std::uint8_t>;

// Not thread-safe: the manager serialises every call under its lock.
class LinkTransfer {
public:
    using Clock = std::chrono::steady_clock;

    // A transfer that gets no credit for this long is abandoned: the printer stopped taking data.
    static constexpr std::chrono::seconds kStallLimit{20};
    // A completion is at most this long: a job announcing an image larger than this (a malformed
    // job) leaves its printer mid-image rather than have the agent send megabytes of blank rows.
    static constexpr std::size_t kMaxCompletionBytes = std::size_t{4} << 20;
    static constexpr int kInitialMtu = 182;

    enum class Outcome { finished, cancelled };
    struct Progress {
        std::uint64_t sentBytes = 0;   // job bytes written
        std::uint64_t totalBytes = 0;  // the job's length
        std::uint64_t pagesDone = 0;   // print images whose rows are all written
    };

    explicit LinkTransfer(int mtu = kInitialMtu) : mtu_(mtu) {}

    // Credits the printer grants (one write each) and the chunk length it asks for.
    void grant(int credits, Clock::time_point now);
    int credit() const { return credit_; }
    void setMtu(int mtu) { mtu_ = mtu; }
    int mtu() const { return mtu_; }
    // The longest write without response the link carries; 0: not known (the MTU alone counts).
    void setMaximumWriteLength(std::size_t length) { maximumWriteLength_ = length; }
    // Every chunk is this long (the last of a job may be shorter): the smaller of the printer's
    // MTU and the link's longest write, so no write is ever made that the link would drop.
    std::size_t chunkLength() const;

    // True while a job or a completion is being sent.
    bool busy() const { return busy_; }
    // The job being sent; 0 for a completion sent on its own or when idle.
    std::uint64_t jobId() const { return jobId_; }

    // Starts sending `job` (id != 0), after `preamble` (what a job cut on an earlier link of
    // this printer left it needing). Only when not busy.
    void start(std::uint64_t jobId, std::shared_ptr<const JobBytes> job, JobBytes preamble, Clock::time_point now);
    // Sends `completion` alone (a printer reconnected after a cut, with no job waiting).
    void startCompletion(JobBytes completion, Clock::time_point now);

    // The next chunk, spending one credit; empty when there is no credit or nothing left.
    std::optional<JobBytes> nextChunk(Clock::time_point now);
    // True once everything of the transfer in hand has been handed to the link.
    bool allSent() const;
    // Ends a transfer whose bytes are all sent: what became of the job (or empty for a
    // completion alone). Leaves the link idle.
    std::optional<Outcome> finish();

    // CUPS cancelled the job: nothing more of it is sent; the command it was cut in is
    // completed instead, then finish() gives `cancelled`.
    void cancel();
    // The link ended, or the printer stopped granting: the transfer is dropped. Returns what
    // the printer needs before anything else on its next link: the completion of the cut
    // command, plus zeros for every chunk the printer may not have received (writes without
    // response are lost with a link; a printer grants credits only for what it has taken in,
    // so chunks beyond its grants are unconfirmed). Zeros between commands are ignored by the
    // printer.
    JobBytes abandon();

    bool stalled(Clock::time_point now) const;
    Progress progress() const;

private:
    std::size_t remaining() const;
    JobBytes completionOfJob() const;

    int credit_ = 0;
    int mtu_;
    std::size_t maximumWriteLength_ = 0;
    // For the unconfirmed chunks: the printer's first grant is its empty buffer; every grant
    // after it frees a slot of a chunk it took in.
    std::optional<std::uint64_t> firstGrant_;
    std::uint64_t granted_ = 0;
    std::uint64_t chunksWritten_ = 0;
    std::uint64_t chunksWrittenForJob_ = 0;

    bool busy_ = false;
    bool cancelled_ = false;
    std::uint64_t jobId_ = 0;
    JobBytes preamble_;
    std::size_t preambleSent_ = 0;
    std::shared_ptr<const JobBytes> job_;
    std::optional<JobLayout> layout_;
    std::size_t jobEnd_ = 0;   // the job's length, or where a cancel cut it
    std::size_t jobSent_ = 0;
    JobBytes tail_;            // the completion after a cancel
    std::size_t tailSent_ = 0;
    Clock::time_point lastProgress_{};
};

}  // namespace quorvel
