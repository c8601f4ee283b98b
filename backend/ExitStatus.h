// How each way a backend run ends maps to the exit status CUPS acts on.
#pragma once

namespace backend {

// CUPS's backend statuses that we use.
inline constexpr int kBackendOk = 0;      // the job is done
inline constexpr int kBackendFailed = 1;  // CUPS applies the queue's error policy (retry, hold...)

enum class JobEnd {
    Finished,               // the agent reported "status finished"
    PrinterError,           // the agent reported "status error"
    NoStatusAfterHandOver,  // the agent took the job but sent no status within the wait
    NotTakenByAgent,        // no agent took the command or the print data within the wait
};

// Finished and NoStatusAfterHandOver end with kBackendOk (a retry after a hand-over could print
// the job twice); the others with kBackendFailed.
int exitStatusFor(JobEnd end);

}  // namespace backend
