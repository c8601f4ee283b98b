// Decides, from what the printers received, whether each job sent was printed exactly once,
// on its own printer, intact, or was reported as not printed. Does no I/O.
#pragma once

#include "printer/CommandStreamDecoder.h"

#include <cstddef>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace agenttest {

// How the backend (after CUPS's retries) ended a job.
enum class Reported {
    Printed,    // exit 0 on "status finished"
    Failed,     // exit 1
    Retried,    // exit 6 on every attempt: CUPS gave up
    Cancelled,  // ended by SIGTERM after the hand-over
};

struct SentJob {
    std::string id;       // for messages only
    std::string printer;
    std::string bytes;    // the command stream handed to the backend
    Reported reported = Reported::Printed;
};

// Everything one printer received, cut where the agent was restarted: each session went to a
// fresh command decoder.
struct PrinterStream {
    std::string printer;
    std::vector<std::string> sessions;
};

enum class Verdict {
    PrintedOnce,          // reported printed; one whole, clean copy on its printer
    FailedAsReported,     // reported failed, retried out or cancelled; at most a cut prefix printed
    PrintedThoughFailed,  // reported not printed, yet one whole, clean copy came out
    Lost,                 // reported printed, but no whole copy on its printer
    Duplicated,           // more than one whole copy on its printer
    Misrouted,            // some of it (its first image row, or all of it) on another printer
    Garbled,              // a whole copy whose commands or pages are not the job's own: the
                          // printer was mid-command when it started
};
std::string_view verdictName(Verdict verdict);
inline std::ostream& operator<<(std::ostream& out, Verdict verdict) { return out << verdictName(verdict); }

class JobAudit {
public:
    explicit JobAudit(std::vector<PrinterStream> streams);

    Verdict classify(const SentJob& job) const;
    // Each verdict with how many of `jobs` got it (verdicts no job got are left out).
    std::map<Verdict, std::size_t> tally(const std::vector<SentJob>& jobs) const;
    // One line per job that did not get PrintedOnce or FailedAsReported.
    std::string problems(const std::vector<SentJob>& jobs) const;

private:
    struct Session {
        std::string bytes;
        printer::CommandStreamDecoder decoded;
    };
    struct Printer {
        std::string name;
        std::vector<Session> sessions;
    };

    bool cleanCopy(const Session& session, std::size_t at, const std::string& job,
                   const printer::CommandStreamDecoder& alone) const;
    bool foundElsewhere(const SentJob& job, std::string_view signature) const;

    std::vector<Printer> printers_;
};

// Offsets of every copy of `needle` in `haystack`, copies not overlapping.
std::vector<std::size_t> findCopies(std::string_view haystack, std::string_view needle);

}  // namespace agenttest
