// The device line CUPS reads in listing mode.
#include "backend/DeviceLine.h"

#include "common/Channel.h"
#include "common/PrinterName.h"

#include <cstdio>

namespace backend {

namespace {

bool isUnsafe(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F || c == '"' || c == '\\';
}

}  // namespace

std::optional<std::string> whyUnsafePrinterName(std::string_view name)
{
    if (auto why = pb::whyUnfitPrinterName(name))
        return why;
    if (name.find_first_of("\"\\") != std::string_view::npos)
        return "the name holds a double quote or a backslash";
    return std::nullopt;
}

bool isSafePrinterName(std::string_view name)
{
    return !whyUnsafePrinterName(name);
}

std::string deviceId(std::string_view model)
{
    // Must agree with the *1284DeviceID of each PPD (ppd/generate.py), by which CUPS picks it.
    std::string id = "MFG:Pell;MDL:";
    id += model;
    id += ";CMD:ESC/POS;";
    return id;
}

std::string deviceLine(std::string_view name, std::string_view model)
{
    std::string line = "direct " + pb::deviceUri(name);
    line += " \"";
    line += model;
    line += "\" \"";
    line += name;
    line += "\" \"";
    line += deviceId(model);
    line += "\"";
    return line;
}

std::string escapedForLog(std::string_view name)
{
    std::string shown;
    for (char c : name) {
        if (isUnsafe(c)) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c));
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace backend
