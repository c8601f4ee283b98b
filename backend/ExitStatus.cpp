// How each way a backend run ends maps to the exit status CUPS acts on.
#include "backend/ExitStatus.h"

namespace backend {

int exitStatusFor(JobEnd end)
{
    switch (end) {
    case JobEnd::Finished:
    case JobEnd::NoStatusAfterHandOver:
    case JobEnd::Cancelled:
    case JobEnd::ListingDone:
        return kBackendOk;
    case JobEnd::NotInRange:
    case JobEnd::AgentSilent:
        return kBackendRetry;
    case JobEnd::TooLarge:
        return kBackendCancel;
    case JobEnd::PrinterError:
    case JobEnd::NotTakenByAgent:
        return kBackendFailed;
    }
    return kBackendFailed;
}

}  // namespace backend
