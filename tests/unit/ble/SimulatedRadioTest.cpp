// Behaviour of the simulated radio beyond the central contract: its printers' output folders
// and pages, the faults it can show (oversized writes, a stream cut by a dropped link), several
// printers at once, the control FIFO, and UUID text.
#include "CentralTest.h"
#include "ble/sim/PrinterOutput.h"
#include "ble/sim/SimulatedCentral.h"
#include "common/Fifo.h"
#include "printer/CommandStreamDecoder.h"
#include "printer/PageRenderer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <tuple>

namespace ble::sim {
namespace {

using test::PeripheralPtr;
using Kind = test::Event::Kind;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// enable, one print image of 4 bytes x 32 rows filled with `dots`, a feed, disable.
Bytes oneImageJob(std::uint8_t dots) {
    return Bytes{0x10, 0xFF, 0xF1, 0x03, 0x1D, 0x76, 0x30, 0x00, 0x04, 0x00, 0x20, 0x00} + Bytes(128, dots) +
           Bytes{0x1B, 0x4A, 0x60, 0x10, 0xFF, 0xF1, 0x45};
}
constexpr std::size_t kImageStart = 12;  // offset of the first row in oneImageJob

// A simulated radio with printers of the test's choosing, its log kept in `lines`.
class SimulatedRadioTest : public test::CentralTest {
protected:
    static constexpr std::chrono::milliseconds kInterval{10};

    void start(std::vector<SimulatedPrinter> printers, std::filesystem::path control = {}) {
        sim_ = SimulatedCentral::create(io_, {.printers = std::move(printers), .outputFolder = folder_.path,
                                              .advertisingInterval = kInterval, .controlFifo = std::move(control),
                                              .log = [this](std::string_view line) { lines.emplace_back(line); }});
        ASSERT_TRUE(adopt(sim_));
    }
    std::filesystem::path folderOf(const std::string& name) const { return folder_.path / folderNameForPrinter(name); }
    Bytes printed(const std::string& name) const { return test::fileBytes(folderOf(name) / kStreamFileName); }
    std::size_t logged(std::string_view part) const {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != l.npos; });
    }
    PrinterStats stats(const std::string& name) const { return sim_->printerStats(name).value_or(PrinterStats{}); }
    void writeTo(const PeripheralPtr& printer, const test::Gatt& gatt, Bytes bytes) {
        call([&] { printer->writeValue(std::move(bytes), gatt.data, WriteType::withoutResponse); });
    }
    // Connects `printer` and turns its credit reports on; returns its GATT.
    test::Gatt ready(const PeripheralPtr& printer) {
        EXPECT_TRUE(connect(printer));
        test::Gatt gatt = discoverGatt(printer);
        call([&] { printer->setNotifyValue(true, gatt.credit); });
        EXPECT_TRUE(waitFor([&] { return creditsGranted(gatt.credit) > 0; }));
        return gatt;
    }

    std::shared_ptr<SimulatedCentral> sim_;
    std::vector<std::string> lines;
};

// An output folder that cannot be made is one line at the start, and the printers go on
// printing with nothing kept (it used to abort the agent).
TEST(SimulatedRadio, PrintersGetSeparateSafeFoldersAndAnUnusableFolderIsOneLine) {
    test::TempFolder folder;
    asio::io_context io;
    auto sim = SimulatedCentral::create(
        io, {.printers = {{"A/B", {}}, {"A_B", {}}, {"..", {}}}, .outputFolder = folder.path, .log = {}});
    for (const char* name : {"A_B", "A_B-2", "_"}) EXPECT_TRUE(std::filesystem::is_directory(folder.path / name)) << name;
    EXPECT_EQ(folderNameForPrinter("P1 Rig"), "P1_Rig");
    EXPECT_EQ(folderNameForPrinter(""), "_");

    std::ofstream(folder.path / "plain-file") << "x";
    std::vector<std::string> lines;
    sim = SimulatedCentral::create(io, {.printers = {{"P1", {}}, {"P2", {}}}, .outputFolder = folder.path / "plain-file" / "out",
                                        .log = [&](std::string_view line) { lines.emplace_back(line); }});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("Simulated radio: the output folder ")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with("; the virtual printers keep no output")) << lines[0];
    PrinterOutput output(folder.path / "plain-file" / "P1", [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines.size(), 3u);  // cannot create, cannot open
}

TEST(PrinterOutput, PageNumbersContinueAfterThePagesAlreadyThereAndUnknownBytesAreLogged) {
    test::TempFolder folder;
    std::ofstream(folder.path / "page-7.png") << "old";
    std::ofstream(folder.path / "page-x.png") << "not a page";
    std::vector<std::string> lines;
    PrinterOutput output(folder.path, [&](std::string_view l) { lines.emplace_back(l); });
    const Bytes page{0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x01, 0x00, 0x80};
    output.receive(page);
    EXPECT_EQ(std::filesystem::file_size(folder.path / kStreamFileName), page.size());
    EXPECT_TRUE(lines.empty());
    output.receive(Bytes{0x42, 0x42});  // not understood: logged, not fatal
    output.receive(page);
    EXPECT_FALSE(lines.empty());
    EXPECT_EQ(output.pagesWritten(), 2u);
    for (const char* name : {"page-8.png", "page-9.png"}) EXPECT_TRUE(std::filesystem::exists(folder.path / name)) << name;
}

TEST_F(SimulatedRadioTest, WritesLongerThanTheLinkCarriesAreDroppedCountedAndLoggedBoundedly) {
    start({{"P", {.maxWriteLength = 20}}});
    ASSERT_GT(readyForData(discover("P")), 0);
    EXPECT_EQ(printer_->maximumWriteValueLength(WriteType::withoutResponse), 20u);
    EXPECT_EQ(printer_->maximumWriteValueLength(WriteType::withResponse), 512u);
    write(Bytes(20, 0x0A));
    for (int i = 0; i < 12; ++i) write(Bytes(21, 0x0A));
    ASSERT_TRUE(waitFor([&] { return stats("P").oversizedWrites == 12; }));
    EXPECT_EQ(std::tuple(stats("P").dataWrites, printed("P").size()), std::tuple(1u, 20u));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "virtual printer P: dropped a write of 21 bytes, longer than the link's 20");
    EXPECT_EQ(logged("dropped a write"), 10u);
    EXPECT_EQ(logged("virtual printer P: further oversized writes are not logged"), 1u);
}

TEST_F(SimulatedRadioTest, TwoPrintersPrintTheirOwnJobsAtOnceAndLoseTheirLinksApart) {
    start({{"A", {.bufferChunks = 32, .bytesPerSecond = 2000}}, {"B", {.bufferChunks = 32, .bytesPerSecond = 2000}}});
    const PeripheralPtr a = discover("A"), b = discover("B");
    const test::Gatt gattA = ready(a), gattB = ready(b);
    const Bytes jobA = oneImageJob(0x81), jobB = oneImageJob(0x3C);
    for (std::size_t at = 0; at < jobA.size(); at += 20) {  // interleaved, chunk by chunk
        const std::size_t end = std::min(at + 20, jobA.size());
        writeTo(a, gattA, Bytes(jobA.begin() + at, jobA.begin() + end));
        writeTo(b, gattB, Bytes(jobB.begin() + at, jobB.begin() + end));
    }
    ASSERT_TRUE(waitFor([&] { return printed("A").size() == jobA.size() && printed("B").size() == jobB.size(); }));
    EXPECT_EQ(std::tuple(printed("A"), printed("B")), std::tuple(jobA, jobB));

    sim_->dropLink("A");
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::disconnect) == 1; }));
    EXPECT_EQ(recorder_->last(Kind::disconnect)->peripheral, a);
    EXPECT_EQ(std::tuple(a->state(), b->state()), std::tuple(PeripheralState::disconnected, PeripheralState::connected));
    EXPECT_EQ(std::tuple(stats("A").overrunWrites, stats("B").overrunWrites), std::tuple(0u, 0u));
}

// A link dropped inside an image leaves the printer's parser in that image: the next link's
// bytes are its rows, so a whole job sent then is eaten as rows and does not print as it should.
TEST_F(SimulatedRadioTest, AStreamCutInsideAnImageGoesOnWithTheNextLinksBytes) {
    start({{"P", {}}});
    const Bytes job = oneImageJob(0x5A);
    const std::size_t cut = kImageStart + 40;
    const auto reference = folder_.path / "reference.png";
    std::string error;
    ASSERT_TRUE(printer::writePagePng(printer::CommandStreamDecoder::decodeAll(job).pages().at(0), reference, error))
        << error;
    const PeripheralPtr printer = discover("P");
    writeTo(printer, ready(printer), Bytes(job.begin(), job.begin() + cut));
    ASSERT_TRUE(waitFor([&] { return printed("P").size() == cut; }));
    sim_->dropLink("P");
    ASSERT_TRUE(waitFor([&] { return printer->state() == PeripheralState::disconnected; }));
    writeTo(printer, ready(printer), job);
    ASSERT_TRUE(waitFor([&] { return printed("P").size() == cut + job.size(); }));
    EXPECT_EQ(printed("P"), Bytes(job.begin(), job.begin() + cut) + job);
    for (const char* page : {"page-1.png", "page-2.png"})
        EXPECT_NE(test::fileBytes(folderOf("P") / page), test::fileBytes(reference)) << page;
}

TEST(ControlCommand, ParsesEachVerbAndRefusesMalformedLines) {
    using V = ControlCommand::Verb;
    const struct { std::string_view line; bool parsed; V verb; std::string printer; std::uint64_t rate; } cases[] = {
        {"leave P1", true, V::leave, "P1", 0},        {"return  P1 Rig \r", true, V::comeBack, "P1 Rig", 0},
        {"drop Q", true, V::drop, "Q", 0},            {"rate Q 3 250", true, V::rate, "Q 3", 250},
        {"rate Q 0", true, V::rate, "Q", 0},          {"rate Q", false, V::rate, "", 0},
        {"rate 5", false, V::rate, "", 0},            {"rate Q -1", false, V::rate, "", 0},
        {"rate Q 1e3", false, V::rate, "", 0},        {"rate Q 99999999999999999999", false, V::rate, "", 0},
        {"leave", false, V::leave, "", 0},            {"LEAVE P1", false, V::leave, "", 0},
        {"fly P1", false, V::leave, "", 0},           {"", false, V::leave, "", 0},
        {"fail P1", true, V::failNextConnection, "P1", 0},
        {"credits stop P1 Rig", true, V::stopCredits, "P1 Rig", 0},
        {"credits  resume P1", true, V::resumeCredits, "P1", 0},
        {"credits P1", false, V::leave, "", 0},       {"credits stop", false, V::leave, "", 0},
        {"power off", true, V::powerOff, "", 0},      {"power on\r", true, V::powerOn, "", 0},
        {"restart", true, V::restart, "", 0},         {"restart P1", false, V::leave, "", 0},
        {"power", false, V::leave, "", 0},            {"leave power off", true, V::leave, "power off", 0},
    };
    for (const auto& c : cases) {
        std::string why;
        const auto command = ControlCommand::parse(c.line, why);
        ASSERT_EQ(command.has_value(), c.parsed) << c.line;
        if (!command) EXPECT_FALSE(why.empty()) << c.line;
        else
            EXPECT_EQ(std::tuple(command->verb, command->printer, command->bytesPerSecond),
                      std::tuple(c.verb, c.printer, c.rate)) << c.line;
    }
}

TEST(SimulatedRadio, ControlFifoIsMadePrivateAndAnythingElseAtItsPathIsRefused) {
    test::TempFolder folder;
    std::ofstream(folder.path / "file") << "not a FIFO";
    asio::io_context io;
    std::vector<std::string> lines;
    std::vector<std::shared_ptr<SimulatedCentral>> radios;
    for (const char* name : {"fifo", "file"})
        radios.push_back(SimulatedCentral::create(io, {.printers = {}, .outputFolder = {},
                                                       .controlFifo = folder.path / name,
                                                       .log = [&](std::string_view l) { lines.emplace_back(l); }}));
    io.run();
    struct stat made {};
    ASSERT_EQ(lstat((folder.path / "fifo").c_str(), &made), 0);
    EXPECT_TRUE(S_ISFIFO(made.st_mode));
    EXPECT_EQ(made.st_mode & 0777, 0600u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("/file: cannot make the FIFO"), std::string::npos) << lines[0];
}

// Lines come through a real FIFO from writers that come and go, a line split across writes.
TEST_F(SimulatedRadioTest, ControlFifoLinesMovePrintersDropLinksSetRatesFailConnectionsAndPower) {
    const std::string control = (folder_.path / "control").string();
    ASSERT_FALSE(pb::makeFifo(control, 0600));  // one already there is reused
    start({{"A", {}}, {"B", {.bufferChunks = 2, .bytesPerSecond = 1}}}, control);
    const auto send = [&](std::string_view text) { ASSERT_FALSE(pb::writeToFifo(control, text)); };
    const PeripheralPtr a = discover("A");
    ASSERT_TRUE(connect(a));
    send("lea");
    send("ve A\n");
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::disconnect) == 1; }));
    EXPECT_TRUE(recorder_->last(Kind::disconnect)->failed);
    // Out of range, a connection request waits for it.
    call([&] { central_->connect(a); });
    runFor(kInterval * 5);
    EXPECT_EQ(std::tuple(a->state(), recorder_->count(Kind::connect)), std::tuple(PeripheralState::connecting, 1u));
    send("return A\n");
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::connect) == 2; }));
    send("drop A\n");
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::disconnect) == 2; }));
    EXPECT_TRUE(recorder_->last(Kind::disconnect)->failed);

    // B prints a byte a second, so its two chunks hold it up until its rate changes.
    ASSERT_EQ(readyForData(discover("B")), 2);
    write(Bytes(10, 0x0A));
    write(Bytes(10, 0x0A));
    runFor(kInterval * 3);
    EXPECT_EQ(stats("B").bytesConsumed, 0u);
    send("rate B 0\n");
    EXPECT_TRUE(waitFor([&] { return stats("B").bytesConsumed == 20; }));

    // The radio's own lines, in order: a failure asked for waits for the next connection.
    send("fail A\npower off\nrestart\n");
    ASSERT_TRUE(waitFor([&] { return stateIs(CentralState::poweredOff); }));
    EXPECT_EQ(logged("\"restart\" is not supported"), 1u);
    send("power on\n");
    ASSERT_TRUE(waitFor([&] { return stateIs(CentralState::poweredOn); }));
    call([&] { central_->connect(a); });
    EXPECT_TRUE(waitFor([&] { return recorder_->count(Kind::failToConnect) == 1; }));

    // Each bad line is one log line (a blank one asks nothing).
    send("fly A\nrate B fast\nleave Nobody\n" + std::string(2000, 'x') + "\n\n");
    ASSERT_TRUE(waitFor([&] { return logged("simulated radio: control") == 4; }));
    EXPECT_EQ(logged("a line longer than 1024 bytes was dropped"), 1u);
}

TEST(Uuid, RendersShortUuidsAsTheirHexDigits) {
    EXPECT_EQ(Uuid::from16(0xFF03).text(), "FF03");
    EXPECT_EQ(Uuid::parse("FF03"), Uuid::from16(0xFF03));
    for (const auto& [text, rendered] : std::vector<std::pair<std::string, std::string>>{
             {"ff00", "FF00"},
             {"0000ff03-0000-1000-8000-00805f9b34fb", "FF03"},
             {"1234FF03-0000-1000-8000-00805F9B34FB", "1234FF03"},
             {"6e400001-b5a3-f393-e0a9-e50e24dcca9e", "6E400001-B5A3-F393-E0A9-E50E24DCCA9E"}})
        EXPECT_EQ(Uuid::parse(text)->text(), rendered);
    for (const char* bad : {"FF0", "FF0G", "0000ff03-0000-1000-8000_00805f9b34fb"})
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
}

}  // namespace
}  // namespace ble::sim
