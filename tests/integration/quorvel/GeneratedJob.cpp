// Builds the generated jobs of the delivery tests.
#include "GeneratedJob.h"

#include <algorithm>

namespace agenttest {

namespace {

constexpr char kEnable[] = {0x10, char(0xFF), char(0xF1), 0x03};
constexpr char kDarkness[] = {0x10, char(0xFF), 0x10, 0x00, 0x08};
constexpr char kMedia[] = {0x1F, char(0x80), 0x01, 0x10, 0x0A};
constexpr char kImageStart[] = {0x1D, 0x76, 0x30, 0x00};
constexpr char kLabelFeed[] = {0x1D, 0x0C};
constexpr char kEndJob[] = {0x1B, char(0xBB), char(0xBB)};
constexpr std::size_t kFrameBytes =
    sizeof kEnable + sizeof kDarkness + sizeof kMedia + sizeof kImageStart + 4 + sizeof kLabelFeed + sizeof kEndJob;

// Four bits per byte, always with the high bit set: never zero, never a command's first byte.
void putNibbles(std::string& row, std::size_t at, std::uint32_t value, int nibbles) {
    for (int i = nibbles - 1; i >= 0; --i) row[at++] = static_cast<char>(0xA0 | ((value >> (4 * i)) & 0xF));
}

std::string row(std::uint32_t id, std::uint32_t number) {
    std::string bytes(GeneratedJob::kBytesPerRow, '\0');
    putNibbles(bytes, 0, id, 8);
    putNibbles(bytes, 8, number, 4);
    // Stripes that differ from job to job, so the printed pages differ too.
    for (std::size_t i = 12; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(0x80 | ((id * 37 + number * 3 + i) & 0x7F));
    return bytes;
}

}  // namespace

std::string GeneratedJob::make(std::uint32_t id, std::size_t size) {
    const std::size_t rows =
        std::clamp(size > kFrameBytes ? (size - kFrameBytes) / kBytesPerRow : 0, kMinRows, kMaxRows);
    std::string job;
    job.reserve(kFrameBytes + rows * kBytesPerRow);
    for (const std::string_view part : {std::string_view(kEnable, sizeof kEnable),
                                        std::string_view(kDarkness, sizeof kDarkness),
                                        std::string_view(kMedia, sizeof kMedia),
                                        std::string_view(kImageStart, sizeof kImageStart)})
        job += part;
    for (const std::size_t value : {kBytesPerRow, rows}) {
        job += static_cast<char>(value & 0xFF);
        job += static_cast<char>(value >> 8);
    }
    for (std::uint32_t number = 0; number < rows; ++number) job += row(id, number);
    job.append(kLabelFeed, sizeof kLabelFeed).append(kEndJob, sizeof kEndJob);
    return job;
}

std::size_t GeneratedJob::bytesHeld(const std::string& job, const std::string& received) {
    static_assert(kFirstRowOffset == kFrameBytes - sizeof kLabelFeed - sizeof kEndJob);
    const auto row = received.find(job.substr(kFirstRowOffset, kBytesPerRow));
    if (row == std::string::npos || row < kFirstRowOffset) return 0;
    return received.size() - (row - kFirstRowOffset);
}

}  // namespace agenttest
