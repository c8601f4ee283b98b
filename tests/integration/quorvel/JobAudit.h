// Small generated jobs, and the audit that decides, from what the printers received, whether
// each job sent was printed exactly once, on its own printer, intact, or was reported as not
// printed. Does no I/O.
#pragma once

#include "printer/CommandStreamDecoder.h"

#include <cstddef>
#include <cstdint>
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
    Misrouted,            // its first image row on another printer
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

// A job as a filter would frame it: enable, darkness, media type, one print image, label
// feed, end job. Every image row carries the job id and the row number and holds no zero
// byte, so a copy of the job (or of one of its rows) is found in a printer's stream without
// doubt, and zeros after a cut prefix are never mistaken for the job's own bytes.
class GeneratedJob {
public:
    static constexpr std::size_t kBytesPerRow = 48;  // 384 dots, the narrow printers' width
    static constexpr std::size_t kMinRows = 1;
    static constexpr std::size_t kMaxRows = 0xFFFF;
    // Enable, darkness, media type and the image header come before the first row.
    static constexpr std::size_t kFirstRowOffset = 22;

    // About `size` bytes (never less than one row's frame) for job `id`.
    static std::string make(std::uint32_t id, std::size_t size);
    // How many bytes of `job` a stream holds when `received` is what came after the bytes
    // before the job: counted from where the job's first row shows it began, 0 before that.
    static std::size_t bytesHeld(const std::string& job, const std::string& received);
};

}  // namespace agenttest
