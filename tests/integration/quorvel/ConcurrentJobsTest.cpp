// Jobs that meet: two backends started at the same moment, for one printer or for two, and
// jobs alternating between two printers. Every job prints once, whole, on its own printer.
#include "BackendJob.h"
#include "DeliveryRig.h"

#include <gtest/gtest.h>


namespace agenttest {
namespace {

constexpr const char* kFirst = "KRV38-A1";
constexpr const char* kSecond = "QMT53-B2";
constexpr int kRounds = 20;
constexpr auto kPairLimit = 60s;  // the second of a pair waits for the first
// What a backend tells CUPS while another run of the backend has the channel.
constexpr const char* kWaitingLine = "INFO: Waiting for another job";

struct Pair {
    std::string name;
    std::vector<std::string> printers;  // of the rig
    std::string firstJobPrinter, secondJobPrinter;
};
void PrintTo(const Pair& pair, std::ostream* out) { *out << pair.name; }

class TwoBackendsAtOnce : public ::testing::TestWithParam<Pair> {};

TEST_P(TwoBackendsAtOnce, BothJobsPrintOnceWholeOnTheirOwnPrinterAndBothBackendsSayFinished) {
    const Pair& pair = GetParam();
    DeliveryRig rig(pair.printers);
    std::vector<SentJob> sent;
    int waited = 0;
    for (int round = 0; round < kRounds; ++round) {
        const int a = 2 * round + 1, b = 2 * round + 2;
        const std::string fileA = rig.writeJob(a, 2500 + 300 * round), fileB = rig.writeJob(b, 4000 - 100 * round);
        BackendJob first(rig.root, pair.firstJobPrinter, fileA, a), second(rig.root, pair.secondJobPrinter, fileB, b);
        struct Run {
            BackendJob& backend;
            const std::string& printer;
            const std::string& file;
            int id;
        };
        for (const Run& run : {Run{first, pair.firstJobPrinter, fileA, a}, Run{second, pair.secondJobPrinter, fileB, b}}) {
            const auto status = run.backend.waitExit(kPairLimit);
            EXPECT_EQ(status, 0) << "round " << round << ", job " << run.id << ":\n" << run.backend.output();
            EXPECT_TRUE(run.backend.said("Print job finished")) << "round " << round << ", job " << run.id;
            sent.push_back({std::to_string(run.id), run.printer, readFile(run.file),
                            status == 0 ? Reported::Printed : Reported::Failed});
        }
        waited += first.said(kWaitingLine) || second.said(kWaitingLine);
        if (HasFailure()) break;
    }
    // Started together, one of the two mostly finds the other holding the channel.
    EXPECT_GT(waited, 0) << "no backend said it waited for the other";
    ASSERT_TRUE(rig.waitForQuietPrinters());
    const JobAudit audit(rig.streams());
    EXPECT_EQ(audit.problems(sent), "");
    EXPECT_EQ(audit.tally(sent), (std::map<Verdict, std::size_t>{{Verdict::PrintedOnce, sent.size()}}));
}

INSTANTIATE_TEST_SUITE_P(Jobs, TwoBackendsAtOnce,
                         ::testing::Values(Pair{"OnePrinter", {kFirst}, kFirst, kFirst},
                                           Pair{"TwoPrinters", {kFirst, kSecond}, kFirst, kSecond}),
                         [](const auto& info) { return info.param.name; });

TEST(AlternatingPrinters, JobsTakingTurnsKeepBothLinksUpAndNeitherQueueIsStopped) {
    constexpr int kJobs = 8;
    DeliveryRig rig({kFirst, kSecond});
    std::vector<SentJob> sent;
    for (int id = 1; id <= kJobs; ++id) {
        const std::string printer = id % 2 == 1 ? kFirst : kSecond;
        const std::string file = rig.writeJob(id, 3000);
        BackendJob job(rig.root, printer, file, id);
        ASSERT_EQ(job.waitExit(40s), 0) << job.output();
        EXPECT_TRUE(job.said("Print job finished")) << job.output();
        sent.push_back({std::to_string(id), printer, readFile(file), Reported::Printed});
    }
    ASSERT_TRUE(rig.waitForQuietPrinters());
    const JobAudit audit(rig.streams());
    EXPECT_EQ(audit.problems(sent), "");
    // Each printer keeps its own link: a job for the other one never drops it.
    EXPECT_EQ(readFile(rig.root.path("/agent.out")).find("Disconnected from peripheral"), std::string::npos);
    // Stopped would be lpadmin's printer-state=5 or cupsdisable.
    EXPECT_EQ(rig.root.lpadminCalls().find("printer-state=5"), std::string::npos) << rig.root.lpadminCalls();
    EXPECT_EQ(readFile(rig.root.path("/cupsdisable.calls")), "");
}

}  // namespace
}  // namespace agenttest
