// The soak's job schedule, its faults and the part of CUPS it plays.
#include "SoakDriver.h"

#include "GeneratedJob.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

namespace agenttest {

namespace {

const std::vector<std::string> kPrinters{"KRV38-A1", "QMT53-B2"};
constexpr int kRetryStatus = 6;  // CUPS_BACKEND_RETRY
constexpr std::size_t kMinJob = 2000, kJobSpread = 18000, kLargestJob = kMinJob + kJobSpread;
constexpr int kScheduleRound = 10;     // faults repeat every ten jobs
constexpr int kRareRound = 100;        // the slow faults, once per hundred jobs
constexpr auto kFaultLimit = 60s;      // for a job to reach the middle at the slow rate
constexpr auto kQuiet = 300ms;         // printers idle this long have finished a cut job's fill
// Chunks a printer takes ahead of printing them: few, so that what reached it is what it is
// printing, and a fault finds even a small job mid-way.
constexpr int kPrinterBuffer = 2;

// An order the simulated radio must take, or the fault it stands for never happens.
void order(bool taken, const std::string& what) {
    if (!taken) ADD_FAILURE() << "the simulated radio took no \"" << what << "\" order";
}

bool isMidJob(SoakDriver::Fault fault) {
    using F = SoakDriver::Fault;
    return fault == F::Drop || fault == F::Cancel || fault == F::KillAgent;
}

}  // namespace

SoakDriver::SoakDriver(int jobs)
    : jobs_(jobs),
      rig_(kPrinters, {"QUORVEL_SIM_RATE=" + std::to_string(kFastRate), "QUORVEL_SIM_CREDITS=" + std::to_string(kPrinterBuffer)}) {}

SoakDriver::Fault SoakDriver::faultFor(int index) const {
    // A kill only where the agent started after it still serves the last jobs.
    if (index % kRareRound == 4 && index + kLastAgentJobs + 5 <= jobs_) return Fault::KillAgent;
    if (index % kRareRound == 13) return Fault::LongLeave;
    switch (index % kScheduleRound) {
    case 0:
        if (index == 0 || index + 1 >= jobs_) return Fault::None;
        return (index / kScheduleRound) % 2 == 1 ? Fault::PairSamePrinter : Fault::PairTwoPrinters;
    case 2: return Fault::Drop;
    case 6: return Fault::Cancel;
    case 8: return Fault::BriefLeave;
    default: return Fault::None;
    }
}

SoakDriver::Job SoakDriver::makeJob(int index) {
    // The job an agent restart hands to the new agent first is the largest, so that the memory
    // baseline has already seen it.
    const std::size_t size = faultFor(index) == Fault::KillAgent ? kLargestJob : kMinJob + (index * 7919u) % kJobSpread;
    const int id = index + 1;
    return {id, kPrinters[index % kPrinters.size()], rig_.writeJob(id, size)};
}

void SoakDriver::run() {
    for (int index = 0; index < jobs_ && !::testing::Test::HasFatalFailure(); ++index) {
        const Fault fault = faultFor(index);
        if (fault == Fault::PairSamePrinter || fault == Fault::PairTwoPrinters) {
            const Job first = makeJob(index);
            Job second = makeJob(++index);
            if (fault == Fault::PairSamePrinter) second.printer = first.printer;
            note(fault == Fault::PairSamePrinter ? "fault: two backends, one printer" : "fault: two backends, two printers");
            runPair(first, second);
        } else {
            runSingle(makeJob(index), fault);
        }
    }
    rig_.waitForQuietPrinters();
    if (rig_.agentRunning()) endKb_ = rig_.agent().process().residentKb();
}

void SoakDriver::runSingle(const Job& job, Fault fault) {
    Reported reported = Reported::Retried;
    for (int attemptNumber = 0; attemptNumber <= kRetries; ++attemptNumber) {
        bool cancelled = false;
        const int status = attempt(job, attemptNumber == 0 ? fault : Fault::None, cancelled);
        if (!rig_.agentRunning()) {
            rig_.startAgent();
            agentJobs_ = 0;
            baselineKb_ = 0;
        }
        if (status == kRetryStatus) {
            note("sent again after exit 6");
            continue;
        }
        reported = cancelled ? Reported::Cancelled : status == 0 ? Reported::Printed : Reported::Failed;
        break;
    }
    record(job, reported);
    if (fault != Fault::None) rig_.waitForQuietPrinters(kQuiet);
}

void SoakDriver::runPair(const Job& first, const Job& second) {
    BackendJob a(rig_.root, first.printer, first.file, first.id), b(rig_.root, second.printer, second.file, second.id);
    for (auto [job, backend] : {std::pair{&first, &a}, std::pair{&second, &b}}) {
        const auto status = backend->waitExit(kBackendLimit);
        note("exit " + (status ? std::to_string(*status) : std::string("none")));
        EXPECT_TRUE(status) << "job " << job->id << " hung:\n" << backend->output();
        if (rig_.agentRunning()) jobServed();
        if (status == kRetryStatus)
            runSingle(*job, Fault::None);  // sent again, on its own
        else
            record(*job, status == 0 ? Reported::Printed : Reported::Failed);
    }
}

int SoakDriver::attempt(const Job& job, Fault fault, bool& cancelled) {
    const std::size_t from = rig_.printedSize(job.printer);
    const std::size_t size = readFile(job.file).size();
    if (isMidJob(fault)) order(rig_.control.rate(job.printer, kSlowRate), "rate");
    if (fault == Fault::BriefLeave || fault == Fault::LongLeave) {
        note(fault == Fault::BriefLeave ? "fault: printer away 3 s" : "fault: printer away past the wait");
        order(rig_.control.leave(job.printer), "leave");
    }
    BackendJob backend(rig_.root, job.printer, job.file, job.id);
    const bool injected = isMidJob(fault) && injectMidJob(job, backend, fault, from, size);
    cancelled = injected && fault == Fault::Cancel;
    if (fault == Fault::BriefLeave) {
        std::this_thread::sleep_for(kAway);  // the length of the absence, not a wait for an event
        order(rig_.control.comeBack(job.printer), "return");
    }
    const auto status = backend.waitExit(kBackendLimit);
    if (fault == Fault::LongLeave) order(rig_.control.comeBack(job.printer), "return");
    if (isMidJob(fault) && rig_.agentRunning()) order(rig_.control.rate(job.printer, kFastRate), "rate");
    note("exit " + (status ? std::to_string(*status) : std::string("none")));
    if (!status) {
        ADD_FAILURE() << "job " << job.id << " hung:\n" << backend.output();
        return -1;
    }
    const auto expect = [&](bool applies, int wanted, const char* what) {
        if (applies) {
            EXPECT_EQ(*status, wanted) << "job " << job.id << ", " << what << ":\n" << backend.output();
        }
    };
    expect(injected && fault == Fault::Drop, 1, "link dropped");
    expect(injected && fault == Fault::Cancel, 0, "cancelled");
    expect(injected && fault == Fault::KillAgent, kRetryStatus, "agent killed");
    expect(fault == Fault::LongLeave, kRetryStatus, "printer away");
    if (rig_.agentRunning()) jobServed();
    return *status;
}

// Waits for the job to be visibly under way, never near its end, and strikes.
bool SoakDriver::injectMidJob(const Job& job, BackendJob& backend, Fault fault, std::size_t from, std::size_t size) {
    // Counted from the job's own first row: zeros that end an earlier cut job may come first.
    const std::string bytes = readFile(job.file);
    const auto held = [&] { return GeneratedJob::bytesHeld(bytes, rig_.printedSince(job.printer, from)); };
    const std::size_t low = std::size_t(kMidJobFrom * size), high = std::size_t(kMidJobTo * size);
    const bool reached = waitUntil([&] { return held() >= low || !backend.running(); }, kFaultLimit);
    if (!reached || !backend.running() || held() >= high) {
        note("fault missed the middle of its job");
        ++missedFaults_;
        return false;
    }
    switch (fault) {
    case Fault::Drop:
        note("fault: link dropped mid-job");
        order(rig_.control.drop(job.printer), "drop");
        break;
    case Fault::Cancel: note("fault: cancelled mid-job"); backend.signal(SIGTERM); break;
    case Fault::KillAgent: note("fault: agent killed mid-job"); rig_.killAgent(); break;
    default: return false;
    }
    ++midJobFaults_;
    return true;
}

void SoakDriver::record(const Job& job, Reported reported) {
    sent_.push_back({std::to_string(job.id), job.printer, readFile(job.file), reported});
}

void SoakDriver::jobServed() {
    if (++agentJobs_ == kMemoryBaselineJobs) baselineKb_ = rig_.agent().process().residentKb();
}

}  // namespace agenttest
