// Queue state changes through lpadmin, cupsenable and cupsdisable, each made only after
// lpstat -p has shown that it is needed.
#include "quorvel/QueueStateKeeper.h"

#include "common/Paths.h"

namespace quorvel {

namespace {

constexpr const char* kOnlineState = "printer-state=3";
constexpr const char* kOfflineState = "printer-state=5";

}  // namespace

QueueStateKeeper::QueueStateKeeper(Logger& logger, pb::ProcessRunner& processes, std::FILE* console, Tools tools)
    : logger_(logger), processes_(processes), console_(console), tools_(std::move(tools))
{
}

void QueueStateKeeper::setOnline(const std::string& queue)
{
    setOne(queue, true);
}

void QueueStateKeeper::setOffline(const std::string& queue)
{
    setOne(queue, false);
}

void QueueStateKeeper::setOne(const std::string& queue, bool online)
{
    const char* word = online ? "online" : "offline";
    std::lock_guard lock(mutex_);
    std::string why;
    const std::optional<QueueStateList> states = readStates(&queue, why);
    const std::optional<QueueState> current = states ? states->stateOf(queue) : std::nullopt;
    if (!states)
        log(why + "; setting queue " + queue + " " + word + " all the same");
    else if (!current)
        log("lpstat -p gave no state for queue " + queue + "; setting it " + word + " all the same");
    if (!mustChange(current, online)) {
        const std::string how = *current == QueueState::printing ? std::string("printing")
                                                                 : std::string("already ") + queueStateWord(*current);
        log("Queue " + queue + " is " + how + "; state left as it is");
        return;
    }
    online ? makeOnline(queue) : makeOffline(queue);
}

std::size_t QueueStateKeeper::keep(const std::vector<std::string>& queues,
                                   const std::function<bool(const std::string&)>& isConnected)
{
    if (queues.empty())
        return 0;
    std::lock_guard lock(mutex_);
    std::string why;
    const std::optional<QueueStateList> states = readStates(nullptr, why);
    if (!states)
        log(why + "; queue states left as they are");
    std::size_t notConnected = 0;
    std::set<std::string> absent;
    for (const std::string& queue : queues) {
        const bool connected = isConnected(queue);
        notConnected += connected ? 0 : 1;
        if (!connected)
            absent.insert(queue);
        if (!states || (!connected && !absentLastTime_.contains(queue)))
            continue;
        const std::optional<QueueState> current = states->stateOf(queue);
        if (!current) {
            log("lpstat -p gave no state for queue " + queue + "; left as it is");
            continue;
        }
        if (!mustChange(current, connected))
            continue;
        if (connected && current == QueueState::stopped && !stoppedHere_.contains(queue)) {
            if (leftStopped_.insert(queue).second)
                log("Queue " + queue + " was stopped by someone else; left stopped");
            continue;
        }
        leftStopped_.erase(queue);
        if (connected) {
            log("Printer " + queue + " is connected; setting its queue idle");
            makeOnline(queue);
        } else {
            log("Printer " + queue + " is not in range; setting its queue stopped");
            makeOffline(queue);
        }
    }
    absentLastTime_ = std::move(absent);
    return notConnected;
}

std::optional<QueueStateList> QueueStateKeeper::readStates(const std::string* queue, std::string& why)
{
    std::vector<std::string> arguments{"-p"};
    if (queue)
        arguments.push_back(*queue);
    // The state phrases are read in their untranslated form.
    const pb::CommandResult result = processes_.run({tools_.lpstat, arguments, {pb::kCLocaleOverride}});
    // Its exit status says nothing more: lpstat -p fails for a queue it does not know, and
    // that queue then simply has no line.
    if (!result.started) {
        why = "lpstat -p could not be run: " + result.error;
        return std::nullopt;
    }
    if (result.output.size() > QueueStateList::kMaxOutputBytes) {
        why = "lpstat -p printed " + std::to_string(result.output.size()) + " bytes, over the limit of " +
              std::to_string(QueueStateList::kMaxOutputBytes);
        return std::nullopt;
    }
    return QueueStateList::parse(result.output);
}

bool QueueStateKeeper::mustChange(std::optional<QueueState> current, bool online)
{
    if (!current)
        return true;
    if (*current == QueueState::printing)
        return false;
    return *current != (online ? QueueState::idle : QueueState::stopped);
}

void QueueStateKeeper::makeOnline(const std::string& queue)
{
    // CUPS starts the jobs waiting on an idle queue at its next periodic pass, seconds later;
    // enabling the queue starts them now.
    if (runLpadmin(queue, kOnlineState, "online")) {
        stoppedHere_.erase(queue);
        runQueueTool("cupsenable", tools_.cupsenable, {queue}, queue);
    }
}

void QueueStateKeeper::makeOffline(const std::string& queue)
{
    // The reason is what `lpstat -p` and the CUPS web pages show the user for a stopped queue.
    if (runLpadmin(queue, kOfflineState, "offline")) {
        stoppedHere_.insert(queue);
        runQueueTool("cupsdisable", tools_.cupsdisable, {"-r", notInRangeReason(queue), queue}, queue);
    }
}

bool QueueStateKeeper::runLpadmin(const std::string& queue, const char* state, const char* word)
{
    const pb::CommandResult result = processes_.run({tools_.lpadmin, {"-p", queue, "-o", state}, {}});
    const bool succeeded = result.started && result.exitStatus == 0;
    std::fprintf(console_, "%s printer %s %s.\n", succeeded ? "Successfully set" : "Failed to set", queue.c_str(),
                 word);
    std::fflush(console_);
    return succeeded;
}

void QueueStateKeeper::runQueueTool(const char* name, const std::string& path, const std::vector<std::string>& arguments,
                                    const std::string& queue)
{
    const pb::CommandResult result = processes_.run({path, arguments, {}});
    if (!result.started)
        log(std::string(name) + " " + queue + " could not be run: " + result.error);
    else if (result.exitStatus != 0)
        log(std::string(name) + " " + queue + " failed with status " + std::to_string(result.exitStatus));
}

}  // namespace quorvel
