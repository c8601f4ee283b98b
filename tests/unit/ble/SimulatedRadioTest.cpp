// Behaviour of the simulated radio beyond the central contract: its printers' output folders
// and pages, and UUID text.
#include "CentralTest.h"
#include "ble/sim/PrinterOutput.h"
#include "ble/sim/SimulatedCentral.h"

#include <gtest/gtest.h>

#include <fstream>

namespace ble::sim {
namespace {

TEST(SimulatedRadio, PrintersGetSeparateSafeFolders) {
    test::TempFolder folder;
    asio::io_context io;
    auto sim = SimulatedCentral::create(
        io, {.printers = {{"A/B", {}}, {"A_B", {}}, {"..", {}}}, .outputFolder = folder.path, .log = {}});
    for (const char* name : {"A_B", "A_B-2", "_"}) EXPECT_TRUE(std::filesystem::is_directory(folder.path / name)) << name;
    EXPECT_EQ(folderNameForPrinter("P1 Rig"), "P1_Rig");
    EXPECT_EQ(folderNameForPrinter(""), "_");
}

TEST(PrinterOutput, PageNumbersContinueAfterThePagesAlreadyThereAndUnknownBytesAreLogged) {
    test::TempFolder folder;
    std::ofstream(folder.path / "page-7.png") << "old";
    std::ofstream(folder.path / "page-x.png") << "not a page";
    std::vector<std::string> lines;
    PrinterOutput output(folder.path, [&](std::string_view l) { lines.emplace_back(l); });
    const Bytes page{0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x01, 0x00, 0x80};
    output.consume(page);
    EXPECT_EQ(std::filesystem::file_size(folder.path / kStreamFileName), page.size());
    EXPECT_TRUE(lines.empty());
    output.consume(Bytes{0x42, 0x42});  // not understood: logged, not fatal
    output.consume(page);
    EXPECT_FALSE(lines.empty());
    EXPECT_EQ(output.pagesWritten(), 2u);
    for (const char* name : {"page-8.png", "page-9.png"}) EXPECT_TRUE(std::filesystem::exists(folder.path / name)) << name;
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
