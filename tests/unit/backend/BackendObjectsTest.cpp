// The backend's objects with fakes: reply pairs and report details, what CUPS is told of a job
// in hand, model lookup and each model's PPD, unsafe printer names, the lpstat check, the log,
// the end of a run, a quick cancel and job reading.
#include "backend/BidirectionalFIFO.h"
#include "backend/CupsReporter.h"
#include "backend/DeviceLine.h"
#include "backend/JobProgress.h"
#include "backend/Logger.h"
#include "backend/PrintDataHandler.h"
#include "backend/PrinterChecker.h"
#include "backend/ReplyText.h"
#include "common/HexText.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace {

using namespace std::chrono_literals;
using Kind = backend::ReplyAction::Kind;

backend::ReplyAction withDetails(std::string word, std::optional<backend::ByteProgress> progress, std::optional<std::uint64_t> pages)
{
    backend::ReplyAction status(Kind::Status, std::move(word));
    status.progress = progress;
    status.pages = pages;
    return status;
}

TEST(ReplyText, ReadsPairsInOrderAndReportsWhatItCannotPair)
{
    const std::vector<std::pair<std::string, std::vector<backend::ReplyAction>>> cases = {
        {"querycallback A querycallback B ", {{Kind::QueryCallback, "A"}, {Kind::QueryCallback, "B"}}},
        {"status finished querycallback A ", {{Kind::Status, "finished"}, {Kind::QueryCallback, "A"}}},
        {"STATUS finished status Finished", {{Kind::UnknownKey, "STATUS"}, {Kind::Status, "Finished"}}},
        // Texts run together: an unknown word, then a key without a value.
        {"status finishedquerycallback B ", {{Kind::Status, "finishedquerycallback"}, {Kind::UnknownKey, "B"}}},
        {"", {{Kind::InvalidFormat, ""}}},
        {"  status  ", {{Kind::InvalidFormat, ""}}},
        {"querycallback A querycallback", {{Kind::QueryCallback, "A"}, {Kind::MissingParameter, "querycallback"}}},
        {"querycallback A status", {{Kind::QueryCallback, "A"}, {Kind::MissingParameter, "status"}}},
        {"status sending pages", {{Kind::Status, "sending"}, {Kind::MissingParameter, "pages"}}},
        // Details go with the status before them; a text of several reports keeps them apart.
        {"status sending progress 5/10 pages 2 status queued pages 3 ", {withDetails("sending", {{5, 10}}, 2), withDetails("queued", {}, 3)}},
        {"status sending pages 007 progress 0/0", {withDetails("sending", {{0, 0}}, 7)}},
        {"progress 1/2 status queued", {{Kind::DetachedDetail, "progress 1/2"}, {Kind::Status, "queued"}}},
        {"querycallback A pages 2", {{Kind::QueryCallback, "A"}, {Kind::DetachedDetail, "pages 2"}}},
        // Strictly decimal, SENT at most TOTAL, no more digits than a job could need.
        {"status sending progress 11/10 progress 1/2/3 progress +1/2 pages 0x1 pages 9999999999999999 pages ٣",
         {{Kind::Status, "sending"}, {Kind::MalformedValue, "progress 11/10"}, {Kind::MalformedValue, "progress 1/2/3"},
          {Kind::MalformedValue, "progress +1/2"}, {Kind::MalformedValue, "pages 0x1"},
          {Kind::MalformedValue, "pages 9999999999999999"}, {Kind::MalformedValue, "pages ٣"}}},
        {"status sending pages 999999999999999", {withDetails("sending", {}, 999999999999999)}},
    };
    for (const auto& [text, actions] : cases)
        EXPECT_EQ(backend::parseReplyText(text), actions) << '"' << text << '"';
}

// Each step: the report, and the INFO text and page count CUPS is given for it ("" for none).
// The plain reports and repeats are checked with a real backend.
TEST(JobProgress, TellsCupsWhatChangedAndNothingTwice)
{
    using Word = pb::StatusWord;
    constexpr std::uint64_t kBig = 999999999999999;
    struct Step { Word word; std::optional<backend::ByteProgress> progress; std::optional<std::uint64_t> pages;
                  std::string info; std::optional<std::uint64_t> pagesCompleted; };
    const std::vector<Step> steps = {
        {Word::Sending, {}, 0, "Sending to the printer", {}},
        {Word::Sending, {{299, 300}}, 1, "Sending to the printer: 99% (299 of 300 bytes)", 1},
        {Word::Sending, {}, 1, "", {}},  // says less than the report before it
        {Word::Sending, {{299, 300}}, 2, "", 2},
        {Word::Sending, {{0, 0}}, {}, "Sending to the printer: 100% (0 of 0 bytes)", {}},
        {Word::Sending, {{kBig, kBig}}, kBig, "Sending to the printer: 100% (999999999999999 of 999999999999999 bytes)", kBig},
        {Word::Busy, {}, kBig + 1, "", {}},  // not a report on the job
    };
    backend::JobProgress progress;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto lines = progress.report(steps[i].word, steps[i].progress, steps[i].pages);
        EXPECT_EQ(std::tuple(lines.info.value_or(""), lines.pagesCompleted), std::tuple(steps[i].info, steps[i].pagesCompleted))
            << "step " << i;
    }
}

// Names that could forge a device line, or pass for another printer (invisible, look-alike or
// direction-changing characters, overlong), are refused; odd but harmless text is data.
TEST(PrinterNames, ModelIsTheFirstTableEntryInTheNameAndNamesThatCouldForgeALineOrPassForAnotherAreUnsafe)
{
    for (const auto& [name, model] : std::vector<std::pair<std::string, std::string>>{
             {"HM_E7S-01", "HM_E7S"}, {"HM_E7-01", "HM_E7"}, {"QMT53H-1", "QMT53"}, {"BX940-2", "BX9"},
             {"x-VQB7H-1", "VQB7H"}, {"vqb7h-1", "Pelltandle"}, {"", "Pelltandle"}})
        EXPECT_EQ(backend::PrinterChecker::checkForWhitelistedPrinters(name), model) << name;
    EXPECT_TRUE(backend::isSafePrinterName("KRV38-A1B2"));
    for (const std::string& name : std::vector<std::string>{"打印机-1", "$(id)", "`id`;<x>", "Ünïcødé 🖨", std::string(248, 'K')})
        EXPECT_TRUE(backend::isSafePrinterName(name)) << name;
    for (const std::string& name : std::vector<std::string>{"", "A\nB", "A\rB", "A\tB", "A\"B", "A\\B", "A\x7f", "A\x01", "\xc2\x85",  // C1 NEL
                                   "KRV38\u202e1A", "KRV38\u00a0", "K\u200bRV38", "A\u2028B", "A\u2066B", "A\ufeff",
                                   "A\U000e0041", "A\ue000", "\xff\xfe", std::string(249, 'K')})
        EXPECT_FALSE(backend::isSafePrinterName(name)) << backend::escapedForLog(name);
    EXPECT_EQ(backend::whyUnsafePrinterName("KRV38\u202e"), "the name holds the control or invisible character U+202E");
}

// CUPS picks a listed printer's PPD by the device ID on its device line, so every model the
// backend can name needs a PPD under that name declaring the same ID.
TEST(PrinterNames, EveryModelOnADeviceLineHasAPpdDeclaringItsDeviceId)
{
    std::vector<std::string_view> models(backend::PrinterChecker::whitelist.begin(), backend::PrinterChecker::whitelist.end());
    models.push_back(backend::PrinterChecker::kDefaultModel);
    for (std::string_view entry : models) {
        const std::string model(backend::PrinterChecker::checkForWhitelistedPrinters(std::string(entry) + "-1"));
        std::ifstream ppd(std::string(PB_PPD_DIR) + "/" + model + ".ppd");
        const std::string text{std::istreambuf_iterator<char>(ppd), {}};
        EXPECT_NE(text.find("*1284DeviceID: \"" + backend::deviceId(model) + "\"\n"), std::string::npos) << model;
        EXPECT_EQ(backend::deviceLine("P", model), "direct pellbluetooth://P \"" + model + "\" \"P\" \"" + backend::deviceId(model) + "\"");
    }
}

// Captures what is written to a FILE*.
struct Capture {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&buffer, &size);
    ~Capture() { std::fclose(stream), std::free(buffer); }
    std::string text() { return std::fflush(stream), std::string(buffer, size); }
};

struct FakeRunner : pb::ProcessRunner {
    pb::CommandResult result;
    pb::CommandResult run(const pb::Command&) override { return result; }
    bool launch(const pb::Command&, std::string&) override { return true; }
};

class BackendObjects : public ::testing::Test {
protected:
    ~BackendObjects() override { std::filesystem::remove_all(folder_); }
    std::string read(const std::string& name) { return {std::istreambuf_iterator<char>(std::ifstream(folder_ + name).rdbuf()), {}}; }

    std::string folder_ = [] {
        std::string pattern = "/tmp/pb-backend-unit.XXXXXX";
        return mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("mkdtemp failed");
    }();
    pb::MainQueue mainQueue_;
    Capture console_, cupsStream_;
    FakeRunner runner_;
    backend::Logger logger_{folder_ + "/backend.log", [] { return false; }, console_.stream};
    backend::CupsReporter cups_{cupsStream_.stream};
    backend::PrinterChecker checker_{runner_, "/root/usr/bin/lpstat", console_.stream};
    std::vector<int> exits_;
    backend::BidirectionalFIFO fifo_{{folder_ + "/command", folder_ + "/data", folder_ + "/reply", folder_ + "/lock"}, folder_ + "/postInstall",
                                     {mainQueue_, logger_, cups_, runner_, checker_, [this](int status) { exits_.push_back(status); }}};
};

// The command line lpstat gets is checked by the listing test against a real lpstat script.
TEST_F(BackendObjects, LpstatCheckMatchesServedModelsAndSaysWhyLpstatDidNotRun)
{
    for (const auto& [result, served] : std::vector<std::pair<pb::CommandResult, bool>>{
             {{true, 0, "device for Office: ipp://x\ndevice for KRT64-9: pellbluetooth://KRT64-9\n", {}}, true},
             {{true, 1, "", {}}, false},  // "No destinations added." went to standard error
             {{true, 0, "device for QMT53\xff: x", {}}, false},
             {{false, -1, "", "No such file or directory"}, false}}) {
        runner_.result = result;
        EXPECT_EQ(checker_.checkForWhitelistedPrinters(), served) << result.output;
    }
    EXPECT_TRUE(console_.text().ends_with("\n\nError running lpstat command: No such file or directory\n")) << console_.text();
}

TEST_F(BackendObjects, LoggerCreatesAFileClosedToOthersAppendsEachLineAndEchoesItOnTheConsole)
{
    const std::string path = folder_ + "/own.log";
    bool onMain = true;
    {
        backend::Logger logger(path, [&] { return onMain; }, console_.stream);
        logger.log("bluetooth start");
        onMain = false;
        logger.log("readLoop");
    }
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    const std::string log = read("/own.log");
    EXPECT_NE(log.find("] Log file created at: " + path + "\nmain:["), std::string::npos);
    EXPECT_NE(log.find("] bluetooth start\nnot-main:["), std::string::npos);
    EXPECT_TRUE(log.ends_with("] readLoop\n"));
    backend::Logger again(path, [] { return true; }, console_.stream);
    EXPECT_TRUE(read("/own.log").starts_with(log)) << "the earlier lines stay";
    EXPECT_NE(read("/own.log").find("Log file already exists at: " + path), std::string::npos);
    EXPECT_NE(console_.text().find("] bluetooth start\n\n"), std::string::npos);
    // A log path that cannot be opened is left alone; lines still reach the console.
    backend::Logger blocked(folder_, [] { return true; }, console_.stream);
    blocked.log("blocked line");
    EXPECT_TRUE(std::filesystem::is_directory(folder_));
    EXPECT_NE(console_.text().find("blocked line"), std::string::npos);
    backend::Logger missing(folder_ + "/no/such.log", [] { return true; }, console_.stream);
    EXPECT_NE(console_.text().find("] Log file could not be created at: " + folder_ + "/no/such.log\n"), std::string::npos);
}

TEST_F(BackendObjects, StatusFinishedEndsTheRunOnceAndLeavesLaterPairsAlone)
{
    std::vector<std::string> reported;
    fifo_.onQueryCallback = [&](const std::string& name) { reported.push_back(name); };
    EXPECT_FALSE(fifo_.claimEnd()) << "not listening yet";
    fifo_.startReading();
    fifo_.handleReceivedMessage("querycallback A status FINISHED querycallback B ");
    // A second "finished" (or the status wait) finds the run already ended.
    fifo_.handleReceivedMessage("status finished");
    EXPECT_EQ(reported, std::vector<std::string>{"A"});
    EXPECT_EQ(exits_, std::vector<int>{0});
    EXPECT_FALSE(fifo_.isListening());
    EXPECT_EQ(cupsStream_.text(), "INFO: Print job finished\n");
}

// A cancel that comes while the print data is still to be written (CUPS is quick to cancel) goes
// after it, so the agent reads the job whole before it learns to drop it.
TEST_F(BackendObjects, ACancelBeforeThePrintDataFollowsItAndEndsTheJobCancelled)
{
    backend::HandlerTiming timing;
    timing.printDataDelay = 300ms;
    backend::PrintDataHandler handler(fifo_, logger_, cups_, mainQueue_, console_.stream, [this](int status) { exits_.push_back(status); }, timing);
    pb::FifoListener agent;
    ASSERT_FALSE(agent.open(folder_ + "/command"));
    auto printData = std::async(std::launch::async, [&] {
        std::error_code error;
        std::string text;
        const int fd = pb::openFifoForReading(folder_ + "/data", error);
        pb::readToEnd(fd, text);
        close(fd);
        return text;
    });
    // Every command text, and when the cancel came.
    auto commands = std::async(std::launch::async, [&] {
        std::string all, text;
        std::error_code error;
        while (!all.ends_with("cancelPrint pellbluetooth://P") && agent.readAvailable(text, error) == pb::FifoListener::Result::Data)
            all += text;
        return std::pair(all, std::chrono::steady_clock::now());
    });
    fifo_.startReading();  // no reply channel here: the loop ends at once, but the run is on
    const auto start = std::chrono::steady_clock::now();
    handler.performPrint("pellbluetooth://P", std::make_shared<std::string>("6162"));
    mainQueue_.post([&] { handler.cancelJob(); });
    // Served until both writes have reported back, so no writer thread outlives the queue.
    const auto deadline = start + 10s;
    while ((exits_.empty() || read("/backend.log").find("Both write operations completed") == std::string::npos) &&
           std::chrono::steady_clock::now() < deadline)
        mainQueue_.context().run_one_for(50ms);
    const bool commandsIn = commands.wait_for(1s) == std::future_status::ready;
    agent.stop();
    if (printData.wait_for(1s) != std::future_status::ready)
        close(open((folder_ + "/data").c_str(), O_WRONLY | O_NONBLOCK));  // frees the reader
    EXPECT_EQ(exits_, std::vector<int>{0});
    EXPECT_EQ(printData.get(), "6162");
    ASSERT_TRUE(commandsIn);
    const auto [text, cancelCame] = commands.get();
    EXPECT_EQ(text, "doPrint pellbluetooth://P length=4cancelPrint pellbluetooth://P");
    EXPECT_GE(cancelCame - start, timing.printDataDelay);
    EXPECT_TRUE(cupsStream_.text().ends_with("INFO: Job cancelled\n")) << cupsStream_.text();
}

TEST_F(BackendObjects, ReadingAJobKeepsEveryByteInOrderAndLogsTheStartOfItsHexText)
{
    backend::PrintDataHandler handler(fifo_, logger_, cups_, mainQueue_, console_.stream, [](int) {});
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string job;
    for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i)  // crosses the reading blocks
        job += static_cast<char>(i * 7);
    std::thread writer([&] {
        for (std::size_t offset = 0; offset < job.size();)
            offset += static_cast<std::size_t>(write(fds[1], job.data() + offset, std::min<std::size_t>(5000, job.size() - offset)));
        close(fds[1]);
    });
    auto text = handler.readPrintData(fds[0]);
    writer.join();
    close(fds[0]);
    EXPECT_EQ(pb::decodeHex(*text), std::vector<std::uint8_t>(job.begin(), job.end()));
    EXPECT_NE(read("/backend.log").find("Hex string: " + text->substr(0, 50) + "\n"), std::string::npos);
}

}  // namespace
