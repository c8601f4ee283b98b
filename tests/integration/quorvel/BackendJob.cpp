// Starts the backend for one job and follows it to its exit.
#include "BackendJob.h"

#include <filesystem>

namespace agenttest {

namespace {

std::string freshOutput(const TempRoot& root, int jobId) {
    const std::string path = root.path("/backend-" + std::to_string(jobId) + ".out");
    std::filesystem::remove(path);
    return path;
}

}  // namespace

// CUPS runs a backend with its device URI as argv[0].
BackendJob::BackendJob(const TempRoot& root, const std::string& printer, const std::string& jobFile, int jobId)
    : outputPath_(freshOutput(root, jobId)),
      start_(Clock::now()),
      process_({"pellbluetooth://" + printer, std::to_string(jobId), "user", "title", "1", ""},
               {"PELLBLUETOOTH_ROOT=" + root.root()}, outputPath_, jobFile, PB_BACKEND_PATH) {}

std::optional<int> BackendJob::waitExit(Clock::duration limit) {
    const auto status = process_.waitExit(limit);
    if (status && !end_) end_ = Clock::now();
    return status;
}

}  // namespace agenttest
