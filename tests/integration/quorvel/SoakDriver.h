// Drives many generated jobs through backend, agent and two virtual printers with faults mixed
// in, playing CUPS (a job whose backend asks for a retry is sent again), and keeps what the
// audit and the memory check need.
#pragma once

#include "BackendJob.h"
#include "DeliveryRig.h"
#include "JobAudit.h"

#include <map>
#include <string>
#include <vector>

namespace agenttest {

class SoakDriver {
public:
    enum class Fault { None, Drop, Cancel, KillAgent, BriefLeave, LongLeave, PairSamePrinter, PairTwoPrinters };

    static constexpr int kRetries = 3;                  // CUPS sends a job again this often
    static constexpr int kLastAgentJobs = 40;           // served by the agent that is never killed
    static constexpr int kMemoryBaselineJobs = 10;      // jobs before its first memory figure
    static constexpr unsigned long kFastRate = 40000;   // bytes per second
    static constexpr unsigned long kSlowRate = 3000;    // while a fault waits for the middle of a job
    static constexpr double kMidJobFrom = 0.2, kMidJobTo = 0.7;  // share of a job held by its printer
    static constexpr auto kBackendLimit = 90s;          // longest a backend may take, retries aside
    static constexpr auto kAway = 3s;                   // a brief absence, well under the printer wait

    explicit SoakDriver(int jobs);

    // Sends every job; returns once all have ended and the printers are quiet.
    void run();

    const std::vector<SentJob>& sent() const { return sent_; }
    JobAudit audit() const { return JobAudit(rig_.streams()); }
    // Faults injected, backend exit statuses and other events, by name.
    const std::map<std::string, int>& events() const { return events_; }
    long memoryAfterBaselineKb() const { return baselineKb_; }  // 0: the last agent served too few jobs
    long memoryAtEndKb() const { return endKb_; }
    int jobsOfLastAgent() const { return agentJobs_; }
    // Mid-job faults that struck, and those whose job was not mid-way when looked at.
    int midJobFaults() const { return midJobFaults_; }
    int missedFaults() const { return missedFaults_; }

    Fault faultFor(int index) const;  // the schedule, from the job's index

private:
    struct Job {
        int id;
        std::string printer;
        std::string file;
    };
    Job makeJob(int index);
    void runSingle(const Job& job, Fault fault);
    void runPair(const Job& first, const Job& second);
    // One attempt with `fault` applied while the job is sent; the backend's exit status, or -1.
    int attempt(const Job& job, Fault fault, bool& cancelled);
    bool injectMidJob(const Job& job, BackendJob& backend, Fault fault, std::size_t from, std::size_t size);
    void record(const Job& job, Reported reported);
    void jobServed();
    void note(const std::string& event) { ++events_[event]; }

    int jobs_;
    DeliveryRig rig_;
    std::vector<SentJob> sent_;
    std::map<std::string, int> events_;
    int agentJobs_ = 0;
    long baselineKb_ = 0;
    long endKb_ = 0;
    int midJobFaults_ = 0;
    int missedFaults_ = 0;
};

}  // namespace agenttest
