// The states of CUPS queues as `lpstat -p` prints them in the C locale, read without I/O.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

enum class QueueState { idle, printing, stopped };

// "idle", "printing" or "stopped", for log lines.
const char* queueStateWord(QueueState state);

// Lines it reads, one per queue (a stopped queue's reason follows on an indented line, which
// is skipped):
//   printer Q is idle.  enabled since ...
//   printer Q is holding new jobs.  enabled since ...      (idle, as IPP has it)
//   printer Q now printing Q-12.  enabled since ...
//   printer Q disabled since ... -
// Any other line says nothing; the first line about a queue is the one that counts.
class QueueStateList {
public:
    // A real queue list is a few hundred bytes per queue; more than this is not lpstat talking.
    static constexpr std::size_t kMaxOutputBytes = 1 << 20;

    // Empty (no queue known) when `output` is longer than kMaxOutputBytes.
    static QueueStateList parse(std::string_view output);

    // The state of the queue named exactly `queue`; empty when no line gave it.
    std::optional<QueueState> stateOf(std::string_view queue) const;
    bool empty() const { return states_.empty(); }
    std::size_t size() const { return states_.size(); }

private:
    std::map<std::string, QueueState, std::less<>> states_;
};

}  // namespace quorvel
