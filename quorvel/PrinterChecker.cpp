// The CUPS queue checker: queue presence through lpstat, queue state through lpadmin.
#include "quorvel/PrinterChecker.h"

#include "common/Paths.h"

namespace quorvel {

namespace {

constexpr std::string_view kBluetoothScheme = "pellbluetooth://";
constexpr std::string_view kUsbScheme = "usb://";
constexpr const char* kOnlineState = "printer-state=3";
constexpr const char* kOfflineState = "printer-state=5";

// The first "<scheme>X" with X one or more characters other than '/', as the pattern
// "<scheme>([^/]+)" finds it.
std::optional<std::string> nameAfter(std::string_view scheme, const std::string& line)
{
    for (auto at = line.find(scheme); at != std::string::npos; at = line.find(scheme, at + 1)) {
        const auto start = at + scheme.size();
        const auto end = std::min(line.find('/', start), line.size());
        if (end > start)
            return line.substr(start, end - start);
    }
    return std::nullopt;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

PrinterChecker::PrinterChecker(Collaborators collaborators, std::string lpstatPath, std::string lpadminPath)
    : collaborators_(std::move(collaborators)), lpstatPath_(std::move(lpstatPath)),
      lpadminPath_(std::move(lpadminPath))
{
}

std::optional<std::string> PrinterChecker::extractBTPrinterName(const std::string& line)
{
    return nameAfter(kBluetoothScheme, line);
}

std::optional<std::string> PrinterChecker::extractUsbPrinterName(const std::string& line)
{
    return nameAfter(kUsbScheme, line);
}

std::vector<std::string> PrinterChecker::getPrinters()
{
    // lpstat translates its output; the device URIs are what we read, and they stay as they
    // are only in the C locale.
    const pb::CommandResult result =
        collaborators_.processes.run({lpstatPath_, {"-v"}, {pb::kCLocaleOverride}});
    if (!result.started) {
        std::fprintf(collaborators_.console, "Error running lpstat command: %s\n", result.error.c_str());
        std::fflush(collaborators_.console);
        return {};
    }
    std::vector<std::string> names;
    for (const std::string& line : splitLines(result.output)) {
        if (auto name = extractBTPrinterName(line))
            names.push_back(std::move(*name));
        if (auto usbName = extractUsbPrinterName(line); usbName && collaborators_.reportUsbPrinter)
            collaborators_.reportUsbPrinter(*usbName);
    }
    return names;
}

bool PrinterChecker::isPrinterAdded(const std::string& printerName)
{
    for (const std::string& listed : getPrinters()) {
        if (listed.find(printerName) != std::string::npos || printerName.find(listed) != std::string::npos)
            return true;
    }
    return false;
}

void PrinterChecker::setPrinterState(const std::string& printerName, const char* state, const char* word)
{
    const pb::CommandResult result = collaborators_.processes.run({lpadminPath_, {"-p", printerName, "-o", state}, {}});
    const bool succeeded = result.started && result.exitStatus == 0;
    std::fprintf(collaborators_.console, "%s printer %s %s.\n", succeeded ? "Successfully set" : "Failed to set",
                 printerName.c_str(), word);
    std::fflush(collaborators_.console);
}

void PrinterChecker::setPrinterOnline(const std::optional<std::string>& printerName)
{
    if (!printerName || printerName->empty())
        return;
    setPrinterState(*printerName, kOnlineState, "online");
}

void PrinterChecker::setPrinterOffline(const std::string& printerName)
{
    setPrinterState(printerName, kOfflineState, "offline");
    if (collaborators_.startBleScan)
        collaborators_.startBleScan();
}

void PrinterChecker::checkPrinterLoop()
{
    collaborators_.logger.log("checkPrinterLoop......");
    collaborators_.logger.log("The repeating queue-list check is not available in this build");
}

void PrinterChecker::stopCheckLoop()
{
    collaborators_.logger.log("stopCheckLoop......");
}

void PrinterChecker::checkPrinterLoop(const std::string& printerName)
{
    collaborators_.logger.log("The queue check for " + printerName + " is not available in this build");
}

}  // namespace quorvel
