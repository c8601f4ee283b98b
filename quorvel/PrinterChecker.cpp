// The CUPS queue checker: the queue list through lpstat, queue presence, and the queue state
// changes the BLE manager asks for.
#include "quorvel/PrinterChecker.h"

#include "common/Paths.h"
#include "common/RootPath.h"
#include "quorvel/QueueListPass.h"

#include <algorithm>

namespace quorvel {

namespace {

constexpr std::string_view kBluetoothScheme = "pellbluetooth://";
constexpr std::string_view kUsbScheme = "usb://";
constexpr std::string_view kDeviceLinePrefix = "device for ";
constexpr std::string_view kDeviceLineSeparator = ": ";

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

PrinterChecker::ToolPaths PrinterChecker::rootedToolPaths()
{
    return {pb::rootedPath(pb::kLpstatPath), pb::rootedPath(pb::kLpadminPath), pb::rootedPath(pb::kCupsenablePath),
            pb::rootedPath(pb::kCupsdisablePath)};
}

PrinterChecker::PrinterChecker(Collaborators collaborators, ToolPaths tools)
    : logger_(collaborators.logger), processes_(collaborators.processes), console_(collaborators.console),
      connections_(collaborators.connections), startBleScan_(std::move(collaborators.startBleScan)),
      clock_(collaborators.clock), tools_(std::move(tools)),
      states_(logger_, processes_, console_, {tools_.lpstat, tools_.lpadmin, tools_.cupsenable, tools_.cupsdisable}),
      loopQueue_(std::move(collaborators.loopQueue)),
      addQueue_(std::move(collaborators.addQueue))
{
}

PrinterChecker::~PrinterChecker()
{
    clock_.interruptSleeps();
    std::lock_guard lock(mutex_);
    if (timer_)
        timer_->cancel();
    if (scanTimer_)
        scanTimer_->cancel();
}

std::optional<std::string> PrinterChecker::extractBTPrinterName(const std::string& line)
{
    return nameAfter(kBluetoothScheme, line);
}

std::optional<std::string> PrinterChecker::extractUsbPrinterName(const std::string& line)
{
    return nameAfter(kUsbScheme, line);
}

std::optional<std::string> PrinterChecker::extractQueueName(const std::string& line)
{
    if (line.rfind(kDeviceLinePrefix, 0) != 0)
        return std::nullopt;
    const auto end = line.find(kDeviceLineSeparator, kDeviceLinePrefix.size());
    if (end == std::string::npos || end == kDeviceLinePrefix.size())
        return std::nullopt;
    return line.substr(kDeviceLinePrefix.size(), end - kDeviceLinePrefix.size());
}

bool PrinterChecker::checkForWhitelistedPrinters(const std::string& printerName)
{
    return passesWhitelist(printerName);
}

PrinterChecker::QueueList PrinterChecker::readQueueList()
{
    // lpstat translates its output; the device lines are what we read, and they keep their
    // form only in the C locale.
    const pb::CommandResult result = processes_.run({tools_.lpstat, {"-v"}, {pb::kCLocaleOverride}});
    QueueList list{{}, {}, {}, clock_.now()};
    if (!result.started) {
        printLine("Error running lpstat command: " + result.error);
    } else {
        for (const std::string& line : splitLines(result.output)) {
            const auto name = extractBTPrinterName(line);
            const auto queue = extractQueueName(line);
            if (name)
                list.printers.push_back(*name);
            if (auto usbName = extractUsbPrinterName(line))
                connections_.startBroadcasting(*usbName);
            if (name && queue)
                list.bluetoothQueues.push_back({*queue, *name});
            if (queue)
                list.queues.push_back(*queue);
        }
    }
    std::lock_guard lock(mutex_);
    latest_ = list;
    return list;
}

PrinterChecker::QueueList PrinterChecker::recentQueueList()
{
    {
        std::lock_guard lock(mutex_);
        if (latest_ && clock_.now() - latest_->readAt <= kQueueListReuse)
            return *latest_;
    }
    return readQueueList();
}

std::vector<std::string> PrinterChecker::getPrinters()
{
    return readQueueList().printers;
}

bool PrinterChecker::waitsForPrinters()
{
    const QueueList list = recentQueueList();
    return std::any_of(list.printers.begin(), list.printers.end(), [this](const std::string& printer) {
        return checkForWhitelistedPrinters(printer) && !connections_.isPrinterConnected(printer);
    });
}

bool PrinterChecker::isPrinterAdded(const std::string& printerName)
{
    const QueueList list = recentQueueList();
    return std::any_of(list.printers.begin(), list.printers.end(), [&](const std::string& listed) {
        return listed.find(printerName) != std::string::npos || printerName.find(listed) != std::string::npos;
    });
}

// Read afresh: a state change is rare, and a queue deleted a moment ago would be created again
// (lpadmin -p creates the queue it names when there is none: a printer whose advertised name is
// not a queue's name must not get a queue of its own that way).
std::vector<std::string> PrinterChecker::queuesOfPrinter(const std::string& name, const char* word)
{
    const QueueList list = readQueueList();
    std::vector<std::string> queues = queuesOf(name, list.bluetoothQueues, list.queues);
    if (queues.empty())
        log("No queue named " + name + " in the queue list; not setting it " + word);
    return queues;
}

void PrinterChecker::setPrinterOnline(const std::optional<std::string>& printerName)
{
    if (!printerName || printerName->empty())
        return;
    for (const std::string& queue : queuesOfPrinter(*printerName, "online"))
        states_.setOnline(queue);
}

void PrinterChecker::setPrinterOffline(const std::string& printerName)
{
    for (const std::string& queue : queuesOfPrinter(printerName, "offline"))
        states_.setOffline(queue);
    if (startBleScan_)
        startBleScan_();
}

void PrinterChecker::printLine(const std::string& line) const
{
    std::fprintf(console_, "%s\n", line.c_str());
    std::fflush(console_);
}

}  // namespace quorvel
