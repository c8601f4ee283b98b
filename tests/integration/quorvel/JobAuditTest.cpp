// The audit of delivered jobs against streams made by hand: each way a job can come out.
#include "JobAudit.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace agenttest {
namespace {

constexpr const char* kP = "KRV38-A1";
constexpr const char* kQ = "QMT53-B2";
const std::string kA = GeneratedJob::make(1, 3000);
const std::string kB = GeneratedJob::make(2, 2500);
constexpr std::size_t kCut = 1000;  // well inside the image
constexpr std::size_t kTail = 5;    // label feed and end job after the image
// A cut at kCut, and the zeros that end its image.
const std::string kCutA = kA.substr(0, kCut);
const std::string kFillA(kA.size() - kTail - kCut, '\0');

struct Case {
    std::string name;
    std::vector<PrinterStream> streams;
    SentJob job;
    Verdict expected;
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class Audit : public ::testing::TestWithParam<Case> {};

TEST_P(Audit, ClassifiesTheJob) {
    const Case& c = GetParam();
    EXPECT_EQ(JobAudit(c.streams).classify(c.job), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, Audit,
    ::testing::Values(
        Case{"OnceBetweenZeros", {{kP, {std::string(7, '\0') + kA + std::string(3, '\0') + kB}}, {kQ, {""}}},
             {"a", kP, kA, Reported::Printed}, Verdict::PrintedOnce},
        Case{"AfterACutJobEndedWithZeros", {{kP, {kCutA + kFillA + kB}}}, {"b", kP, kB, Reported::Printed},
             Verdict::PrintedOnce},
        Case{"CutPrefixOfAFailedJob", {{kP, {kCutA + kFillA + kB}}}, {"a", kP, kA, Reported::Failed},
             Verdict::FailedAsReported},
        Case{"CutPrefixReportedPrinted", {{kP, {kCutA + kFillA + kB}}}, {"a", kP, kA, Reported::Printed}, Verdict::Lost},
        Case{"WholeButCancelled", {{kP, {kA}}}, {"a", kP, kA, Reported::Cancelled}, Verdict::PrintedThoughFailed},
        Case{"StartedInsideACutImage", {{kP, {kCutA + kB}}}, {"b", kP, kB, Reported::Printed}, Verdict::Garbled},
        // An agent restart gives the printer a fresh decoder: the cut image ends with its session.
        Case{"FirstInANewSession", {{kP, {kCutA, kB}}}, {"b", kP, kB, Reported::Printed}, Verdict::PrintedOnce},
        Case{"AgainInTheNextSession", {{kP, {kA, kB + kA}}}, {"a", kP, kA, Reported::Printed}, Verdict::Duplicated},
        Case{"RowsOnTheOtherPrinter", {{kP, {kA}}, {kQ, {kCutA}}}, {"a", kP, kA, Reported::Printed},
             Verdict::Misrouted}),
    [](const auto& info) { return info.param.name; });

TEST(GeneratedJobs, DecodeAsOneCleanPageOfTheAskedSizeThatNamesTheJob) {
    for (const std::size_t size : {2000u, 20000u}) {
        const std::string job = GeneratedJob::make(77, size);
        EXPECT_NEAR(double(job.size()), double(size), double(GeneratedJob::kBytesPerRow));
        const auto decoded = printer::CommandStreamDecoder::decodeAll(
            {reinterpret_cast<const std::uint8_t*>(job.data()), job.size()});
        EXPECT_TRUE(decoded.understoodCompletely());
        ASSERT_EQ(decoded.pages().size(), 1u);
        const auto image = std::find_if(decoded.commands().begin(), decoded.commands().end(),
                                        [](const auto& c) { return c.kind == printer::CommandKind::PrintImage; });
        ASSERT_NE(image, decoded.commands().end());
        EXPECT_EQ(job.find('\0', image->offset + printer::kPrintImageHeaderLength), std::string::npos)
            << "rows hold no zero byte";
    }
    EXPECT_NE(GeneratedJob::make(1, 3000), GeneratedJob::make(2, 3000));
}

TEST(GeneratedJobs, BytesHeldCountFromWhereTheJobBeganNotFromTheZerosBeforeIt) {
    const std::string zeros(300, '\0');
    EXPECT_EQ(GeneratedJob::bytesHeld(kA, zeros + kA.substr(0, 500)), 500u);
    EXPECT_EQ(GeneratedJob::bytesHeld(kA, zeros + kA), kA.size());
    EXPECT_EQ(GeneratedJob::bytesHeld(kA, zeros + kB), 0u);
    EXPECT_EQ(GeneratedJob::bytesHeld(kA, zeros + kA.substr(0, 30)), 0u);  // its first row not yet whole
}

}  // namespace
}  // namespace agenttest
