// The job settings of both filters: model rules from the queue name and the user's options.
#pragma once

#include <array>
#include <cstdio>
#include <string_view>

#include "filter/ImageConversion.h"

namespace filter {

// A setting of -1 means that its command is not sent.
inline constexpr int kNotSent = -1;

// Settings held for one job. printMode picks the conversion (3 diffusion, 1 or 2
// Floyd-Steinberg, other threshold); mediaType is the media-command index 0..4.
struct JobSettings {
    int printMode = 3;
    int mediaType = 0;
    int darkness = kNotSent;
    int labelPrinter = 0;  // vellumar: the queue name matches labelPrinterPrefixes
    int initFamily = 0;    // vellumar: "BX940" or "B740" queues
};

// Queue-name parts, compared case-insensitively as substrings, that mark a label printer.
inline constexpr int numLabelPrinterPrefixes = 10;
inline constexpr std::array<const char*, numLabelPrinterPrefixes> labelPrinterPrefixes{
    "KRV38", "V38", "HM_W7", "N4", "KRT61", "KRT62", "HM_E7", "HM_E7s", "B7", "BX9"};

// 1 if a lower-cased entry of `prefixes` (null entries skipped) occurs in the lower-cased
// `name`, else 0; 0 for a null name. Logs each comparison through a handle of its own,
// opened on `logPath` for appending at the start and closed before returning, so these
// entries reach the file ahead of whatever the job's own log handle still buffers.
int checkPrinterPrefix(const char* name, const char* const* prefixes, int count, const char* logPath);

// The model rules: media type, darkness and (tessoral, and vellumar's init family) print
// mode from case-sensitive substrings of the queue name. labelPrinter is left 0.
JobSettings vellumarModelSettings(std::string_view queueName);
JobSettings tessoralModelSettings(std::string_view queueName);

// Reads "PrintMode=", "MediaType=" and "Darkness=" words from `options` (split at spaces,
// later words win, other words ignored, numbers read as atoi does). vellumar stores
// Darkness=N as N - 1, tessoral as N. Logs the parsed values; tessoral also logs each word
// that follows an examined one. A null `options` counts as no words.
void parse_and_get_user_selected_options(const char* options, int* printMode, int* mediaType, int* darkness,
                                         FILE* log, FilterVariant variant);

// atoi's reading (leading space, optional sign, digits up to the first non-digit, none
// gives 0) without atoi's undefined behaviour on overflow: out-of-range values saturate
// as strtol's do, then keep their low 32 bits.
int parseOptionNumber(const char* text);

}  // namespace filter
