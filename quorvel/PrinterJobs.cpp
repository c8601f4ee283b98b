// Per-printer job queues, the channel job's reports and outcome, waits for printers out of range.
#include "quorvel/PrinterJobs.h"

#include "common/Channel.h"

#include <algorithm>

namespace quorvel {

namespace {

std::string describe(std::uint64_t id, const std::string& printer)
{
    return "Job " + std::to_string(id) + " for " + printer;
}

}  // namespace

PrinterJobs::PrinterJobs(Collaborators with, Timing timing)
    : manager_(with.manager), replies_(with.replies), logger_(with.logger),
      ensureScanning_(std::move(with.ensureScanning)), timing_(timing), tickTimer_(with.mainQueue)
{
}

PrinterJobs::~PrinterJobs()
{
    tickTimer_.cancel();
}

void PrinterJobs::submit(const std::string& printer, JobBytes bytes, bool answersBackend)
{
    Job job{nextId_++, std::make_shared<const JobBytes>(std::move(bytes)), answersBackend, Clock::now()};
    if (answersBackend) {
        if (cancelPending_) {
            cancelPending_ = false;
            log(describe(job.id, printer) + " dropped: its backend was cancelled before the job arrived");
            return;
        }
        channelJob_ = job.id;
    }
    Queue& queue = queues_[printer];
    if (queue.waiting.size() >= kMaxWaitingJobs) {
        endJob(job, std::string(pb::kStatusError),
               describe(job.id, printer) + " refused: " + std::to_string(kMaxWaitingJobs) +
                   " jobs wait for that printer already");
        return;
    }
    log(describe(job.id, printer) + " queued: " + std::to_string(job.bytes->size()) + " bytes, " +
        std::to_string(queue.waiting.size()) + " waiting before it");
    queue.waiting.push_back(std::move(job));
    tryStart(printer);
    if (answersBackend)
        reportChannelJob();
    armTick();
}

void PrinterJobs::channelJobComing()
{
    // The backend that held the channel has its outcome or has gone: nothing written from
    // now on may reach the new one as if it were about its job.
    replies_.dropStatusReplies();
    channelJob_.reset();
    cancelPending_ = false;
}

void PrinterJobs::cancelChannelJob(const std::string& printer)
{
    if (!channelJob_) {
        log("Cancel for " + printer + " before its job arrived: the job will be dropped");
        cancelPending_ = true;
        return;
    }
    const std::uint64_t id = *channelJob_;
    channelJob_.reset();  // its backend is going: no reply is for it any more
    for (auto& [name, queue] : queues_) {
        const auto waiting = std::find_if(queue.waiting.begin(), queue.waiting.end(),
                                          [id](const Job& job) { return job.id == id; });
        if (waiting != queue.waiting.end()) {
            log(describe(id, name) + " cancelled before it was sent");
            queue.waiting.erase(waiting);
            return;
        }
        if (queue.sending && queue.sending->id == id) {
            log("Cancelling " + describe(id, name) + " at the end of the chunk in hand");
            manager_.cancelJob(id);
            return;
        }
    }
    log("Cancel for " + printer + ": its job has already ended");
}

void PrinterJobs::linkReady(const std::string& advertisedName)
{
    for (auto& [name, queue] : queues_)
        if (advertisedName.starts_with(name) && !queue.waiting.empty())
            tryStart(name);
}

void PrinterJobs::jobEnded(const JobEnd& end)
{
    for (auto& [name, queue] : queues_) {
        if (end.kind == JobEnd::Kind::linkFree) {
            if (end.printer.starts_with(name))
                tryStart(name);
            continue;
        }
        if (!queue.sending || queue.sending->id != end.jobId)
            continue;
        const Job job = *queue.sending;
        const std::string printer = name;
        queue.sending.reset();
        queue.sendingTo.clear();
        switch (end.kind) {
        case JobEnd::Kind::finished:
            endJob(job, std::string(pb::kStatusFinished), describe(job.id, printer) + " sent to " + end.printer);
            break;
        case JobEnd::Kind::failed:
            endJob(job, std::string(pb::kStatusError), describe(job.id, printer) + " failed on " + end.printer);
            break;
        case JobEnd::Kind::cancelled:
            endJob(job, std::nullopt, describe(job.id, printer) + " cancelled");
            break;
        case JobEnd::Kind::notSent:
            // Nothing of it went out: it keeps its place at the head of the queue.
            log(describe(job.id, printer) + " not sent: the link fell first; it waits for the next link");
            queues_[printer].waiting.push_front(job);
            break;
        case JobEnd::Kind::linkFree:
            break;
        }
        tryStart(printer);
        return;
    }
}

void PrinterJobs::endJob(const Job& job, const std::optional<std::string>& reply, const std::string& line)
{
    log(line);
    // Only the backend holding the channel reads replies: one for another job would be taken
    // as its own.
    if (!job.answersBackend || channelJob_ != job.id)
        return;
    channelJob_.reset();
    if (reply)
        replies_.writeMessage(*reply);
}

// A link still settling (or one whose services never settle) does not count: the job waits
// for a link that can take it, and that wait is bounded.
bool PrinterJobs::hasLink(const std::string& printer) const
{
    for (const std::string& name : manager_.connectedDeviceNames())
        if (name.starts_with(printer) && manager_.isLinkSettled(name))
            return true;
    return false;
}

std::optional<std::string> PrinterJobs::readyLinkFor(const std::string& printer) const
{
    for (const std::string& name : manager_.connectedDeviceNames())
        if (name.starts_with(printer) && manager_.isReadyForJob(name))
            return name;
    return std::nullopt;
}

void PrinterJobs::tryStart(const std::string& printer)
{
    Queue& queue = queues_[printer];
    if (queue.sending || queue.waiting.empty())
        return;
    const std::optional<std::string> link = readyLinkFor(printer);
    if (!link) {
        if (!queue.noLinkSince && !hasLink(printer))
            queue.noLinkSince = Clock::now();
        return;
    }
    queue.noLinkSince.reset();
    Job job = std::move(queue.waiting.front());
    queue.waiting.pop_front();
    log("Sending " + describe(job.id, printer) + " to " + *link);
    queue.sending = job;
    queue.sendingTo = *link;
    if (!manager_.sendPrintData(*link, job.id, job.bytes)) {
        // The link went busy or away meanwhile: the job keeps its place.
        queue.sending.reset();
        queue.sendingTo.clear();
        queue.waiting.push_front(std::move(job));
    }
}

void PrinterJobs::dropJobsOutOfRange(const std::string& printer, Queue& queue, Clock::time_point now)
{
    if (queue.sending || queue.waiting.empty() || hasLink(printer)) {
        queue.noLinkSince.reset();
        return;
    }
    if (!queue.noLinkSince)
        queue.noLinkSince = now;
    while (!queue.waiting.empty()) {
        const Job& job = queue.waiting.front();
        const Clock::time_point since = std::max(job.arrived, *queue.noLinkSince);
        if (now - since < timing_.printerWait)
            break;
        const Job dropped = job;
        queue.waiting.pop_front();
        // Handed back to its backend, which has CUPS keep the job and retry it later.
        endJob(dropped, pb::notInRangeReport(),
               describe(dropped.id, printer) + " dropped: the printer did not come in range within " +
                   std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timing_.printerWait).count()) + " s");
    }
}

void PrinterJobs::reportChannelJob()
{
    if (!channelJob_)
        return;
    const std::uint64_t id = *channelJob_;
    lastReport_ = Clock::now();
    for (const auto& [name, queue] : queues_) {
        if (queue.sending && queue.sending->id == id) {
            const auto progress = manager_.jobProgress(id);
            const LinkTransfer::Progress shown = progress.value_or(LinkTransfer::Progress{0, queue.sending->bytes->size(), 0});
            replies_.writeMessage(pb::sendingReport(shown.sentBytes, shown.totalBytes, shown.pagesDone));
            return;
        }
        for (const Job& job : queue.waiting) {
            if (job.id == id) {
                replies_.writeMessage(hasLink(name) ? pb::queuedReport() : pb::connectingReport());
                return;
            }
        }
    }
}

void PrinterJobs::tick()
{
    ticking_ = false;
    const Clock::time_point now = Clock::now();
    manager_.checkStalledTransfers();
    bool waitingForLink = false;
    bool anyJob = false;
    for (auto& [name, queue] : queues_) {
        if (!queue.sending && !queue.waiting.empty())
            tryStart(name);
        dropJobsOutOfRange(name, queue, now);
        waitingForLink = waitingForLink || (!queue.waiting.empty() && !queue.sending && !hasLink(name));
        anyJob = anyJob || queue.sending || !queue.waiting.empty();
    }
    // Another printer's connection stops the scan: look again while a job waits for its own.
    if (waitingForLink && ensureScanning_)
        ensureScanning_();
    if (channelJob_ && now - lastReport_ >= timing_.reportInterval)
        reportChannelJob();
    std::erase_if(queues_, [](const auto& entry) { return !entry.second.sending && entry.second.waiting.empty(); });
    if (anyJob)
        armTick();
}

void PrinterJobs::armTick()
{
    if (ticking_)
        return;
    ticking_ = true;
    tickTimer_.expires_after(timing_.tick);
    tickTimer_.async_wait([this](const asio::error_code& error) {
        if (!error)
            tick();
    });
}

bool PrinterJobs::wantsPrinter(const std::string& advertisedName) const
{
    for (const auto& [name, queue] : queues_)
        if (!queue.waiting.empty() && advertisedName.starts_with(name))
            return true;
    return false;
}

std::vector<std::string> PrinterJobs::waitingPrinters() const
{
    std::vector<std::string> names;
    for (const auto& [name, queue] : queues_)
        if (!queue.waiting.empty())
            names.push_back(name);
    return names;
}

}  // namespace quorvel
