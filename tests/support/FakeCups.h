// A small stateful stand-in for the CUPS tools the programs run, installed under a test root:
// lpstat, lpadmin, cupsenable and cupsdisable as tiny scripts over files in that root.
#pragma once

#include <string>
#include <vector>

namespace pbtest {

// Under ROOT:
//   usr/bin/lpstat       -v: the device lines of ROOT/lpstat.out, as they are.
//                        -p [QUEUE]: one line per queue named in those device lines (or only
//                        QUEUE), in lpstat's C-locale form, from ROOT/cups-state/QUEUE: idle,
//                        printing or stopped (idle when the file is missing).
//   usr/sbin/lpadmin     appends its arguments to ROOT/lpadmin.calls; printer-state=3 and
//                        printer-state=5 make the -p queue idle and stopped.
//   usr/sbin/cupsenable  appends its arguments to ROOT/cupsenable.calls and makes the queue
//                        (its last argument) idle.
//   usr/sbin/cupsdisable appends its arguments to ROOT/cupsdisable.calls and makes the queue
//                        (its last argument) stopped.
// A real cupsd stops the job a queue is printing and prints it again from its start when the
// printer is changed with lpadmin or stopped: lpadmin and cupsdisable run on a printing queue
// append "RESTARTED QUEUE" to ROOT/cups-restarts. Each fake records its call last, so a call
// found recorded has had its effect.
class FakeCups {
public:
    // Writes the four fakes (the folders usr/bin and usr/sbin are made when missing).
    explicit FakeCups(std::string root);

    // Queues that `lpstat -v` lists, as "device for NAME: pellbluetooth://NAME" lines.
    void setQueues(const std::vector<std::string>& printerNames) const;
    void setQueueState(const std::string& queue, const std::string& state) const;
    std::string queueState(const std::string& queue) const;  // "idle" when none was set
    // Each call of `tool` (lpadmin, cupsenable, cupsdisable) as a line of its arguments.
    std::string calls(const std::string& tool) const;
    std::string restarts() const;  // the "RESTARTED QUEUE" lines; empty when none

private:
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }
    std::string root_;
};

}  // namespace pbtest
