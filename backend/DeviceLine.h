// The device line CUPS reads in listing mode, and the check that keeps a hostile printer name
// from forging one. No I/O.
#pragma once

#include <string>
#include <string_view>

namespace backend {

// A name can go into a device line when it is not empty and holds no control character
// (below 0x20, or 0x7F), no double quote and no backslash: any of those could end the line or
// a quoted field early and let the name add a forged device of its own.
bool isSafePrinterName(std::string_view name);

// `direct pellbluetooth://NAME "MODEL" "NAME" PPD=MODEL.ppd`, without a line feed.
std::string deviceLine(std::string_view name, std::string_view model);

// The name with every unsafe byte shown as \xNN, for a log line.
std::string escapedForLog(std::string_view name);

}  // namespace backend
