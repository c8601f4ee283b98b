// How each way a backend run ends maps to the exit status CUPS acts on.
#pragma once

namespace backend {

// CUPS's backend statuses that we use (cups/backend.h names them CUPS_BACKEND_...).
inline constexpr int kBackendOk = 0;      // CUPS_BACKEND_OK: the job is done
inline constexpr int kBackendFailed = 1;  // CUPS_BACKEND_FAILED: CUPS applies the queue's error policy
inline constexpr int kBackendCancel = 5;  // CUPS_BACKEND_CANCEL: CUPS cancels the job
inline constexpr int kBackendRetry = 6;   // CUPS_BACKEND_RETRY: CUPS runs the job again later

enum class JobEnd {
    Finished,               // the agent reported "status finished"
    PrinterError,           // the agent reported "status error"
    NoStatusAfterHandOver,  // the agent took the job but sent no status within the wait
    NotTakenByAgent,        // no agent took the command or the print data within the wait
    NotInRange,             // the agent gave the job back: its printer did not come in range
    AgentSilent,            // the agent reported on the job, then fell silent (it died)
    Cancelled,              // CUPS cancelled the job; the agent was told
    ListingDone,            // a device listing read reports for its whole window
    TooLarge,               // the job is over pb::kMaxJobBytes: never handed over
};

// Finished, NoStatusAfterHandOver, Cancelled and ListingDone end with kBackendOk (a retry
// after a silent hand-over could print the job twice); NotInRange and AgentSilent with
// kBackendRetry (nothing, or not all of it, was printed, and the agent has dropped the job);
// TooLarge with kBackendCancel (no retry or policy can ever print it); the others with
// kBackendFailed.
int exitStatusFor(JobEnd end);

}  // namespace backend
