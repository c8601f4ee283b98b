// The filters' job log: one shared, append-only text file with a time stamp before each entry.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace filter {

// The log both filters append to, before the root prefix is applied.
inline constexpr const char* kFilterLogPath = "/var/log/cups/tandle_log";

// Opens `path` for appending (created if absent). On failure writes
// "Failed to open log file: <path>\n" to standard error and returns null; every logging
// call accepts null and then writes to standard error instead.
// The stream is buffered and never flushed per entry: entries reach the file when the
// buffer fills or the handle is closed.
FILE* openLogFile(const char* path);
void closeLogFile(FILE* handle);

// Writes the local time as "YYYY-MM-DD HH:MM:SS" (19 characters and a terminating zero).
void getTimeString(char* buffer, std::size_t size);

// Writes "[<time>] " and the formatted message; adds no line end of its own.
void printLog(FILE* handle, const char* format, ...) __attribute__((format(printf, 2, 3)));

void print_argv(int argc, char* argv[], FILE* handle);
void print_env_vars(FILE* handle);

// The first entries of every job: "Tandle Custom Filter started.\n", the arguments, the environment.
void logJobStart(FILE* handle, int argc, char* argv[]);

// The per-page header dump shared by both filters (vellumar adds its colour-space lines itself).
void printHeaderInfo(const cups_page_header2_t& header, FILE* handle);

// One entry "<title>: " followed by "%02X " per byte, cut to what fits in 1023 characters.
void printHexData(FILE* handle, const char* title, const std::uint8_t* bytes, std::size_t count);

}  // namespace filter
