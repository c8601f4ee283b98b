// Small command streams made without the filter, each recognisable by its job id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace agenttest {

// A job as a filter would frame it: enable, darkness, media type, one print image, label
// feed, end job. Every image row carries the job id and the row number and holds no zero
// byte, so a copy of the job (or of one of its rows) is found in a printer's stream without
// doubt, and zeros after a cut prefix are never mistaken for the job's own bytes.
class GeneratedJob {
public:
    static constexpr std::size_t kBytesPerRow = 48;  // 384 dots, the narrow printers' width
    static constexpr std::size_t kMinRows = 1;
    static constexpr std::size_t kMaxRows = 0xFFFF;
    // Enable, darkness, media type and the image header come before the first row.
    static constexpr std::size_t kFirstRowOffset = 22;

    // About `size` bytes (never less than one row's frame) for job `id`.
    static std::string make(std::uint32_t id, std::size_t size);
    // How many bytes of `job` a stream holds when `received` is what came after the bytes
    // before the job: counted from where the job's first row shows it began, 0 before that.
    static std::size_t bytesHeld(const std::string& job, const std::string& received);
};

}  // namespace agenttest
