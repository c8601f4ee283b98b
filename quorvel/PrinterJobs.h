// The jobs the agent holds: one queue per printer, sent one at a time over that printer's own
// link in arrival order; the one job whose backend waits on the channel, and its reports.
#pragma once

#include "common/Channel.h"
#include "quorvel/BLEPrinterManager.h"
#include "quorvel/Logger.h"
#include "quorvel/ReplyChannel.h"

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

// The waits of PrinterJobs; tests shorten them.
struct PrinterJobsTiming {
    std::chrono::steady_clock::duration printerWait = pb::kPrinterWait;        // for a printer out of range
    std::chrono::steady_clock::duration reportInterval = pb::kProgressInterval;  // between reports
    // How often waiting jobs, stalled transfers and the channel job's report are looked at.
    std::chrono::steady_clock::duration tick = std::chrono::seconds(1);
};

// Main queue only: every call, and the manager's job ends and link reports, arrive there.
//
// A job is never both kept here and handed back: it is sent whole, or it ends with exactly one
// reply to its backend ("status finished", "status error", "status not_in_range"), or its
// backend has gone (cancelled, or replaced on the channel) and it only ends with a log line.
class PrinterJobs {
public:
    using Clock = std::chrono::steady_clock;

    // Jobs that may wait for one printer; a job beyond them is refused ("status error"): the
    // agent holds every waiting job in memory.
    static constexpr std::size_t kMaxWaitingJobs = 16;

    struct Collaborators {
        BLEPrinterManager& manager;
        ReplyChannel& replies;
        Logger& logger;
        asio::io_context& mainQueue;
        std::function<void()> ensureScanning;  // a scan that finds printers jobs wait for
    };
    using Timing = PrinterJobsTiming;
    explicit PrinterJobs(Collaborators collaborators, Timing timing = {});
    ~PrinterJobs();
    PrinterJobs(const PrinterJobs&) = delete;
    PrinterJobs& operator=(const PrinterJobs&) = delete;

    // A job for the printer the job names (its advertised name or the start of it).
    // `answersBackend`: it came over the channel and its backend waits for its outcome.
    void submit(const std::string& printer, JobBytes job, bool answersBackend);
    // A "doPrint" arrived: a new backend holds the channel, the earlier one has gone.
    void channelJobComing();
    // The channel's backend was cancelled: its job is taken out of its queue or stopped.
    void cancelChannelJob(const std::string& printer);
    // The link of `advertisedName` can take a job.
    void linkReady(const std::string& advertisedName);
    void jobEnded(const JobEnd& end);

    // True when a job waits for a printer advertised as `advertisedName`.
    bool wantsPrinter(const std::string& advertisedName) const;
    // The printers that have jobs waiting (not being sent), by the name the jobs give.
    std::vector<std::string> waitingPrinters() const;

private:
    struct Job {
        std::uint64_t id = 0;
        std::shared_ptr<const JobBytes> bytes;
        bool answersBackend = false;
        Clock::time_point arrived;
    };
    struct Queue {
        std::deque<Job> waiting;
        std::optional<Job> sending;
        std::string sendingTo;                    // advertised name of the link sending it
        std::optional<Clock::time_point> noLinkSince;  // waiting jobs and no link to send them
    };

    void tryStart(const std::string& printer);
    std::optional<std::string> readyLinkFor(const std::string& printer) const;
    // True when the printer has a settled link, busy or not.
    bool hasLink(const std::string& printer) const;
    void endJob(const Job& job, const std::optional<std::string>& reply, const std::string& line);
    void dropJobsOutOfRange(const std::string& printer, Queue& queue, Clock::time_point now);
    void reportChannelJob();
    void tick();
    void armTick();
    void log(const std::string& line) const { logger_.log(line); }

    BLEPrinterManager& manager_;
    ReplyChannel& replies_;
    Logger& logger_;
    std::function<void()> ensureScanning_;
    const Timing timing_;
    asio::steady_timer tickTimer_;
    bool ticking_ = false;

    std::map<std::string, Queue> queues_;  // by the printer name the jobs give
    std::uint64_t nextId_ = 1;
    std::optional<std::uint64_t> channelJob_;
    bool cancelPending_ = false;  // the channel's backend cancelled before its job arrived
    Clock::time_point lastReport_{};
};

}  // namespace quorvel
