// Credit-paced sending over one link, cut jobs and their completion.
#include "quorvel/LinkTransfer.h"

#include <algorithm>

namespace quorvel {

void LinkTransfer::grant(int credits, Clock::time_point now)
{
    credit_ += credits;
    if (!firstGrant_)
        firstGrant_ = static_cast<std::uint64_t>(std::max(credits, 0));
    else
        granted_ += static_cast<std::uint64_t>(std::max(credits, 0));
    lastProgress_ = now;
}

std::size_t LinkTransfer::chunkLength() const
{
    std::size_t length = static_cast<std::size_t>(std::max(mtu_, 1));
    if (maximumWriteLength_ > 0)
        length = std::min(length, maximumWriteLength_);
    return length;
}

void LinkTransfer::start(std::uint64_t jobId, std::shared_ptr<const JobBytes> job, JobBytes preamble,
                         Clock::time_point now)
{
    busy_ = true;
    cancelled_ = false;
    jobId_ = jobId;
    preamble_ = std::move(preamble);
    preambleSent_ = 0;
    job_ = std::move(job);
    layout_.emplace(*job_);
    jobEnd_ = job_->size();
    jobSent_ = 0;
    tail_.clear();
    tailSent_ = 0;
    chunksWrittenForJob_ = 0;
    lastProgress_ = now;
}

void LinkTransfer::startCompletion(JobBytes completion, Clock::time_point now)
{
    start(0, std::make_shared<const JobBytes>(), std::move(completion), now);
}

std::size_t LinkTransfer::remaining() const
{
    return (preamble_.size() - preambleSent_) + (jobEnd_ - jobSent_) + (tail_.size() - tailSent_);
}

bool LinkTransfer::allSent() const
{
    // An empty job still costs one (empty) write, so the printer sees that it was sent.
    return busy_ && remaining() == 0 && (chunksWrittenForJob_ > 0 || jobId_ == 0);
}

std::optional<JobBytes> LinkTransfer::nextChunk(Clock::time_point now)
{
    if (!busy_ || credit_ <= 0 || allSent())
        return std::nullopt;
    JobBytes chunk;
    std::size_t room = chunkLength();
    // Fill the chunk from the preamble, the job and the tail in turn: a completion and the job
    // after it may share a write.
    const auto take = [&](const std::uint8_t* data, std::size_t size, std::size_t& sent) {
        const std::size_t count = std::min(room, size - sent);
        chunk.insert(chunk.end(), data + sent, data + sent + count);
        sent += count;
        room -= count;
    };
    take(preamble_.data(), preamble_.size(), preambleSent_);
    if (job_)
        take(job_->data(), jobEnd_, jobSent_);
    take(tail_.data(), tail_.size(), tailSent_);
    --credit_;
    ++chunksWritten_;
    ++chunksWrittenForJob_;
    lastProgress_ = now;
    return chunk;
}

std::optional<LinkTransfer::Outcome> LinkTransfer::finish()
{
    const std::uint64_t id = jobId_;
    const bool wasCancelled = cancelled_;
    busy_ = false;
    jobId_ = 0;
    job_.reset();
    layout_.reset();
    preamble_.clear();
    tail_.clear();
    chunksWrittenForJob_ = 0;
    if (id == 0)
        return std::nullopt;
    return wasCancelled ? Outcome::cancelled : Outcome::finished;
}

JobBytes LinkTransfer::completionOfJob() const
{
    if (!job_ || !layout_)
        return {};
    JobBytes completion = layout_->completionAt(*job_, jobSent_);
    if (completion.size() > kMaxCompletionBytes)
        completion.resize(kMaxCompletionBytes);
    return completion;
}

void LinkTransfer::cancel()
{
    if (!busy_ || cancelled_ || jobId_ == 0)
        return;
    cancelled_ = true;
    // A preamble still going out is finished first: it belongs to an earlier job's cut.
    tail_ = completionOfJob();
    tailSent_ = 0;
    jobEnd_ = jobSent_;
}

JobBytes LinkTransfer::abandon()
{
    JobBytes needed;
    if (busy_) {
        // What of a preamble did not go out is still owed, then the cut command's completion.
        needed.assign(preamble_.begin() + static_cast<std::ptrdiff_t>(preambleSent_), preamble_.end());
        const JobBytes completion =
            cancelled_ ? JobBytes(tail_.begin() + static_cast<std::ptrdiff_t>(tailSent_), tail_.end())
                       : completionOfJob();
        needed.insert(needed.end(), completion.begin(), completion.end());
        if (chunksWrittenForJob_ > 0) {
            const std::uint64_t unconfirmed = chunksWritten_ > granted_ ? chunksWritten_ - granted_ : 0;
            needed.resize(needed.size() + static_cast<std::size_t>(unconfirmed) * chunkLength(), 0x00);
        }
        if (needed.size() > kMaxCompletionBytes)
            needed.resize(kMaxCompletionBytes);
    }
    finish();
    return needed;
}

bool LinkTransfer::stalled(Clock::time_point now) const
{
    return busy_ && !allSent() && credit_ <= 0 && now - lastProgress_ > kStallLimit;
}

LinkTransfer::Progress LinkTransfer::progress() const
{
    Progress progress;
    if (!job_)
        return progress;
    progress.totalBytes = job_->size();
    progress.sentBytes = jobSent_;
    progress.pagesDone = layout_ ? layout_->pagesDoneAt(jobSent_) : 0;
    return progress;
}

}  // namespace quorvel
