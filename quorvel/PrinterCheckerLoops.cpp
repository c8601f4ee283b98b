// The queue checker's two loops: the queue-list pass every 6 s while the radio is on, and the
// add check every 2 s for 20 s after the backend offered a printer to CUPS.
#include "quorvel/PrinterChecker.h"

#include "quorvel/QueueListPass.h"

#include <utility>

namespace quorvel {

void PrinterChecker::checkPrinterLoop()
{
    log("checkPrinterLoop......");
    // Started without the lock held: its first pass may run at once and take the lock.
    auto timer = loopQueue_->startRepeating(kLoopInterval, [this] { checkPrinter(); });
    std::shared_ptr<RepeatingTimer> replaced;
    {
        std::lock_guard lock(mutex_);
        replaced = std::exchange(scanTimer_, std::move(timer));
    }
    if (replaced)
        replaced->cancel();
}

void PrinterChecker::stopCheckLoop()
{
    log("stopCheckLoop......");
    std::lock_guard lock(mutex_);
    if (scanTimer_)
        scanTimer_->cancel();
}

void PrinterChecker::checkPrinterLoop(const std::string& printerName)
{
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        startTime_ = clock_.now();
        generation = ++addGeneration_;
    }
    auto timer = addQueue_->startRepeating(kAddCheckInterval,
                                           [this, printerName, generation] { addCheckPass(printerName, generation); });
    std::shared_ptr<RepeatingTimer> replaced;
    {
        std::lock_guard lock(mutex_);
        // Its first pass may have found the queue already, or a later check replaced it.
        if (generation == addGeneration_ && generation != stoppedGeneration_)
            replaced = std::exchange(timer_, std::move(timer));
        else
            replaced = std::move(timer);
    }
    if (replaced)
        replaced->cancel();
}

std::vector<std::string> PrinterChecker::currentPrinters() const
{
    std::lock_guard lock(mutex_);
    return currentPrinters_;
}

bool PrinterChecker::isAddCheckRunning() const
{
    std::lock_guard lock(mutex_);
    return timer_ != nullptr;
}

bool PrinterChecker::connectWithLoopRetries(const std::string& name)
{
    if (connections_.startConnect(name))
        return true;
    for (int retry = 1; retry <= kLoopRetries; ++retry) {
        const bool connected = connections_.startConnect(name);
        if (retry < kLoopRetries)
            clock_.sleepFor(kLoopRetryPause);
        if (connected)
            return true;
    }
    return false;
}

void PrinterChecker::checkPrinter()
{
    log("checkPrinter");
    const QueueList list = readQueueList();
    printLine("checkPrinter  " + quotedList(list.printers));
    const std::vector<std::string> recorded = currentPrinters();
    const QueueListChanges changes = compareQueueLists(list.printers, recorded);

    std::vector<std::string> connecting;
    for (const std::string& name : changes.added)
        if (handleAddedQueue(name))
            connecting.push_back(name);
    for (const std::string& name : changes.removed)
        handleRemovedQueue(name);
    {
        std::lock_guard lock(mutex_);
        currentPrinters_ = listRecordedAfterPass(list.printers, recorded, changes, !connecting.empty());
    }
    keepQueueStates(list, connecting);
}

bool PrinterChecker::handleAddedQueue(const std::string& name)
{
    log("Printer " + name + " has been found at printer list.");
    if (!checkForWhitelistedPrinters(name))
        return false;
    if (!connectWithLoopRetries(name)) {
        log("Printer " + name + " has been not add at printer list, retry 3 times with error");
        return false;
    }
    log("Printer " + name + " has been add at printer list.");
    return true;
}

void PrinterChecker::handleRemovedQueue(const std::string& name)
{
    printLine("Printer " + name + " has been removed.");
    if (checkForWhitelistedPrinters(name)) {
        log("Printer " + name + " has been remove at printer list.");
        connections_.disconnectPrinter(name);
    }
}

// Without this a queue keeps whatever state it had when its printer was last seen: an idle
// queue of a printer out of range takes jobs that can never print, and nothing tells the user.
// The scan is only ensured, never restarted: a scan started afresh every pass would keep
// cutting short the discovery of printers coming into range.
void PrinterChecker::keepQueueStates(const QueueList& list, const std::vector<std::string>& connecting)
{
    const std::vector<QueueOfPrinter> kept = queuesToKeep(list.bluetoothQueues, connecting);
    std::vector<std::string> queues;
    for (const QueueOfPrinter& entry : kept)
        queues.push_back(entry.queue);
    const std::size_t notConnected = states_.keep(queues, [&](const std::string& queue) {
        const auto entry = std::find_if(kept.begin(), kept.end(), [&](const QueueOfPrinter& k) { return k.queue == queue; });
        return connections_.isPrinterConnected(entry->printer);
    });
    if (notConnected > 0)
        connections_.ensureScanning();
}

void PrinterChecker::connectWithAddRetries(const std::string& name)
{
    if (connections_.startConnect(name))
        return;
    const bool second = connections_.startConnect(name);
    clock_.sleepFor(kAddRetryPause);
    if (second)
        return;
    if (!connections_.startConnect(name))
        log("Printer " + name + " has been not add at printer list, retry 3 times with error");
}

void PrinterChecker::checkPrinter(const std::string& printerName)
{
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = addGeneration_;
    }
    addCheckPass(printerName, generation);
}

void PrinterChecker::addCheckPass(const std::string& printerName, std::uint64_t generation)
{
    std::optional<CheckerClock::TimePoint> startTime;
    {
        std::lock_guard lock(mutex_);
        startTime = startTime_;
    }
    if (startTime && clock_.now() - *startTime > kAddCheckLimit) {
        stopAddCheck(generation);
        printLine("Check printer loop stopped after 20 seconds.");
        return;
    }
    for (const std::string& listed : getPrinters()) {
        if (listed.find(printerName) == std::string::npos)
            continue;
        connectWithAddRetries(listed);
        printLine("Printer " + printerName + " has been added.");
        stopAddCheck(generation);
    }
}

// Stops the add check `generation` only: a newer one may have replaced it meanwhile.
void PrinterChecker::stopAddCheck(std::uint64_t generation)
{
    std::lock_guard lock(mutex_);
    if (generation != addGeneration_)
        return;
    stoppedGeneration_ = generation;
    if (timer_)
        timer_->cancel();
    timer_.reset();
}

}  // namespace quorvel
