// Writers of the printer commands: build the bytes, write them to the job's output, log the step.
#pragma once

#include "filter/ImageConversion.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace filter {

// tessoral's copy target for every command it writes; the copy is switched off
// (writeDataToFile does nothing), the file is only opened at the start of a job.
inline constexpr const char* kImageBufferFilePath = "/var/log/cups/image_buffer1";

// Every writer writes to `out` (standard output in the filters) and logs to `log`
// (null: standard error). Where the filters differ, `variant` picks the behaviour:
// tessoral sends every command through writeDataToStdoutAndFile.

// Writes `length` bytes to `out` with one write, then hands them to writeDataToFile.
void writeDataToStdoutAndFile(FILE* out, FILE* log, const char* path, const std::uint8_t* bytes,
                              std::size_t length);
// The copy of each command to `path`, switched off: does nothing.
void writeDataToFile(FILE* log, const char* path, const std::uint8_t* bytes, std::size_t count);

// Writes one command: tessoral through writeDataToStdoutAndFile, vellumar directly.
void writeCommand(FILE* out, FILE* log, FilterVariant variant, const std::uint8_t* bytes, std::size_t length);

// 10 FF 10 00 nn. `darkness` is the job setting: vellumar sends it as the level byte,
// tessoral sends the setting minus 1 (so 0 gives FF).
void setDarkness(FILE* out, FILE* log, int darkness, FilterVariant variant);

// The media-type command of index 0..4 followed by a line feed; any other index logs
// "Unknown media type\n" and writes nothing. tessoral sends the exit-paper command first for
// indexes 1 and 2. `printMode` has no effect; `darkness` is only logged (vellumar).
void setMediaType(FILE* out, FILE* log, int printMode, int mediaType, int darkness, FilterVariant variant);

// 1F 11 51. In vellumar a short write logs "Error writing command" and ends the process
// with exit status 1 (open streams, the log among them, are flushed by exit); tessoral does
// not check the write.
void sendHexExitPaperCommand(FILE* out, FILE* log, FilterVariant variant);

// The set-key and save-parameters commands of the BX940/B740 family.
void sendInitializationCommands(FILE* out, FILE* log);

// The end-job command 1B BB BB for "KRV38" and "VQN4" queue names (case-sensitive);
// `mediaType` has no effect.
void handlePrinterSpecificCommands(FILE* out, const char* printerName, int mediaType, FILE* log);

}  // namespace filter
