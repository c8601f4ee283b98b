// Jobs that meet: two backends started at the same moment, for one printer or for two, and
// jobs taking turns between two printers. Every job prints once, whole, on its own printer;
// no link is dropped and no queue stopped on the way.
#include "AgentHarness.h"

#include <gtest/gtest.h>

namespace agenttest {
namespace {

constexpr const char* kFirst = "KRV38-A1";
constexpr const char* kSecond = "QMT53-B2";
constexpr auto kPairLimit = 60s;  // the second of a pair waits for the first
// What a backend tells CUPS while another run of the backend has the channel.
constexpr const char* kWaitingLine = "INFO: Waiting for another job";

struct Pairs {
    std::string name;
    std::vector<std::string> printers;  // of the rig; a round's first job goes to the first
    int rounds;
    bool together;  // both backends of a round started at once, or the second after the first
};
void PrintTo(const Pairs& pairs, std::ostream* out) { *out << pairs.name; }

class JobPairs : public ::testing::TestWithParam<Pairs> {};

TEST_P(JobPairs, EveryJobPrintsOnceWholeOnItsOwnPrinterAndNoLinkOrQueueGoesDown) {
    const Pairs& pairs = GetParam();
    DeliveryRig rig(pairs.printers);
    std::vector<SentJob> sent;
    int waited = 0;
    for (int round = 0; round < pairs.rounds && !HasFailure(); ++round) {
        std::vector<std::unique_ptr<BackendJob>> backends;
        for (int id : {2 * round + 1, 2 * round + 2}) {
            const std::string& printer = pairs.printers[(id + 1) % pairs.printers.size()];
            const std::string file = rig.writeJob(id, id % 2 ? 2500 + 300 * round : 4000 - 100 * round);
            backends.push_back(std::make_unique<BackendJob>(rig.root, printer, file, id));
            sent.push_back({std::to_string(id), printer, readFile(file)});
            if (!pairs.together) backends.back()->waitExit(kPairLimit);  // checked below
        }
        for (std::size_t i = 0; i < backends.size(); ++i) {
            SentJob& job = sent[sent.size() - 2 + i];
            const auto status = backends[i]->waitExit(kPairLimit);
            EXPECT_EQ(status, 0) << "job " << job.id << ":\n" << backends[i]->output();
            EXPECT_TRUE(backends[i]->said("Print job finished")) << "job " << job.id;
            if (status != 0) job.reported = Reported::Failed;
            waited += backends[i]->said(kWaitingLine);
        }
    }
    // Started together, one of the two mostly finds the other holding the channel.
    if (pairs.together) {
        EXPECT_GT(waited, 0) << "no backend said it waited for the other";
    }
    ASSERT_TRUE(rig.waitForQuietPrinters());
    EXPECT_EQ(JobAudit(rig.streams()).problems(sent), "");
    // Each printer keeps its own link: a job for the other one never drops it. Stopped would be
    // lpadmin's printer-state=5 or cupsdisable.
    EXPECT_EQ(readFile(rig.root.path("/agent.out")).find("Disconnected from peripheral"), std::string::npos);
    EXPECT_EQ(rig.root.lpadminCalls().find("printer-state=5"), std::string::npos) << rig.root.lpadminCalls();
    EXPECT_EQ(readFile(rig.root.path("/cupsdisable.calls")), "");
}

INSTANTIATE_TEST_SUITE_P(Jobs, JobPairs,
                         ::testing::Values(Pairs{"TogetherOnOnePrinter", {kFirst}, 20, true},
                                           Pairs{"TogetherOnTwoPrinters", {kFirst, kSecond}, 20, true},
                                           Pairs{"TakingTurnsOnTwoPrinters", {kFirst, kSecond}, 4, false}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace agenttest
