// What a virtual printer prints: its raw stream appended to a file and each page as a PNG.
#pragma once

#include "ble/BleTypes.h"
#include "printer/CommandStreamDecoder.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

namespace ble::sim {

inline constexpr std::string_view kStreamFileName = "stream.bin";

// A printer's folder under the output folder: its name with every byte outside
// [A-Za-z0-9._-] replaced by '_'; "", "." and ".." become "_".
std::string folderNameForPrinter(const std::string& printerName);

// Writes into `folder` (created when missing):
//   stream.bin   every byte received, appended in arrival order and flushed with each call, so
//                that it can be read while the sender runs and after it died;
//   page-N.png   each printed page as it completes, N counting on from the highest page
//                already in the folder, so jobs and runs never overwrite each other.
// Pages with no dots to show (empty print images) get no picture, and no number.
// Failures (folder or file not writable, bytes the decoder flags) are logged, never thrown;
// the stream is decoded anyway. Not thread-safe: fed by one queue.
class PrinterOutput {
public:
    PrinterOutput(std::filesystem::path folder, LogFunction log);

    // Bytes as they arrive. One decoder lives as long as the output, so a stream cut off
    // (a dropped link) goes on where it was with the next bytes.
    void receive(std::span<const std::uint8_t> bytes);

    const std::filesystem::path& folder() const { return folder_; }
    std::uint64_t pagesWritten() const { return pagesWritten_; }
    std::uint64_t nextPageNumber() const { return nextPageNumber_; }

private:
    void writePages();
    void logFlaggedCommands();
    void log(const std::string& line) const;

    std::filesystem::path folder_;
    LogFunction log_;
    std::ofstream stream_;
    printer::CommandStreamDecoder decoder_;
    std::uint64_t nextPageNumber_ = 1;
    std::uint64_t pagesWritten_ = 0;
    std::uint64_t flaggedLogged_ = 0;
};

}  // namespace ble::sim
