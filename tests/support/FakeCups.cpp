// The fake CUPS tools: /bin/sh scripts, small enough to read at a glance. (Only the programs
// under test must never go through a shell.)
#include "support/FakeCups.h"

#include "support/TestFiles.h"

#include <filesystem>

namespace pbtest {

namespace {

constexpr unsigned kExecutable = 0755;

// "printer Q is idle." and its kin as lpstat -p prints them; a stopped queue's reason follows
// on an indented line.
constexpr const char* kLpstat = R"sh(
case "$1" in
-p)
    [ -f "$root/lpstat.out" ] || exit 1
    status=1
    since='Mon 07 Dec 2026 01:00:00 AM UTC'
    while IFS= read -r line; do
        case "$line" in "device for "*": "*) ;; *) continue ;; esac
        queue=${line#device for }
        queue=${queue%%: *}
        [ -n "$2" ] && [ "$2" != "$queue" ] && continue
        status=0
        case "$(cat "$root/cups-state/$queue" 2>/dev/null)" in
        printing) echo "printer $queue now printing $queue-1.  enabled since $since" ;;
        stopped) echo "printer $queue disabled since $since -"; printf '\treason unknown\n' ;;
        *) echo "printer $queue is idle.  enabled since $since" ;;
        esac
    done <"$root/lpstat.out"
    exit $status ;;
*) cat "$root/lpstat.out" 2>/dev/null ;;
esac
exit 0
)sh";

constexpr const char* kLpadmin = R"sh(
queue= state=
for argument; do
    case "$argument" in
    printer-state=3) state=idle ;;
    printer-state=5) state=stopped ;;
    esac
done
[ "$1" = -p ] && queue=$2
if [ -n "$queue" ] && [ -n "$state" ]; then
    mkdir -p "$root/cups-state"
    [ "$(cat "$root/cups-state/$queue" 2>/dev/null)" = printing ] && echo "RESTARTED $queue" >>"$root/cups-restarts"
    echo "$state" >"$root/cups-state/$queue"
fi
echo "$*" >>"$root/lpadmin.calls"
exit 0
)sh";

// cupsenable and cupsdisable: $tool, the $state it sets its last argument's queue to, and
// whether that $restarts a job the queue is printing.
constexpr const char* kQueueSwitch = R"sh(
for queue; do :; done
if [ -n "$queue" ]; then
    mkdir -p "$root/cups-state"
    if [ "$restarts" = yes ] && [ "$(cat "$root/cups-state/$queue" 2>/dev/null)" = printing ]; then
        echo "RESTARTED $queue" >>"$root/cups-restarts"
    fi
    echo "$state" >"$root/cups-state/$queue"
fi
echo "$*" >>"$root/$tool.calls"
exit 0
)sh";

}  // namespace

FakeCups::FakeCups(std::string root) : root_(std::move(root)) {
    std::filesystem::create_directories(path("usr/bin"));
    std::filesystem::create_directories(path("usr/sbin"));
    const std::string header = "#!/bin/sh\nroot='" + root_ + "'\n";
    writeFile(path("usr/bin/lpstat"), header + kLpstat, kExecutable);
    writeFile(path("usr/sbin/lpadmin"), header + kLpadmin, kExecutable);
    writeFile(path("usr/sbin/cupsenable"), header + "tool=cupsenable state=idle restarts=no\n" + kQueueSwitch,
              kExecutable);
    writeFile(path("usr/sbin/cupsdisable"), header + "tool=cupsdisable state=stopped restarts=yes\n" + kQueueSwitch,
              kExecutable);
}

void FakeCups::setQueues(const std::vector<std::string>& printerNames) const {
    std::string listing;
    for (const auto& name : printerNames) listing += "device for " + name + ": pellbluetooth://" + name + "\n";
    writeFile(path("lpstat.out"), listing);
}

// Renamed into place, so a fake running meanwhile never reads a half-written state.
void FakeCups::setQueueState(const std::string& queue, const std::string& state) const {
    std::filesystem::create_directories(path("cups-state"));
    const std::string file = path("cups-state/" + queue);
    writeFile(file + ".new", state + "\n");
    std::filesystem::rename(file + ".new", file);
}

std::string FakeCups::queueState(const std::string& queue) const {
    std::string state = readFile(path("cups-state/" + queue));
    if (!state.empty() && state.back() == '\n') state.pop_back();
    return state.empty() ? "idle" : state;
}

std::string FakeCups::calls(const std::string& tool) const { return readFile(path(tool + ".calls")); }

std::string FakeCups::restarts() const { return readFile(path("cups-restarts")); }

}  // namespace pbtest
