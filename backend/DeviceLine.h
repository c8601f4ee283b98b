// The device line CUPS reads in listing mode, and the check that keeps a hostile printer name
// from forging one. No I/O.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace backend {

// Why a name cannot go into a device line, or nothing when it can: it must be fit as a printer
// name at all (common/PrinterName.h: no control, invisible or look-alike characters, at most
// 248 bytes) and hold no double quote and no backslash, which could end the line or a quoted
// field early and let the name add a forged device of its own.
std::optional<std::string> whyUnsafePrinterName(std::string_view name);
bool isSafePrinterName(std::string_view name);

// The IEEE 1284 device ID of a model: `MFG:Pell;MDL:MODEL;CMD:ESC/POS;`.
std::string deviceId(std::string_view model);

// `direct pellbluetooth://NAME "MODEL" "NAME" "DEVICE-ID"`, without a line feed: the device ID
// lets CUPS choose the model's PPD (pellbluetooth/MODEL.ppd).
std::string deviceLine(std::string_view name, std::string_view model);

// The name with every unsafe byte shown as \xNN, for a log line.
std::string escapedForLog(std::string_view name);

}  // namespace backend
