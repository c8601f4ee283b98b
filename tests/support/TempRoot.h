// A temporary root for tests that run the programs as processes (PELLBLUETOOTH_ROOT), with the
// fake CUPS tools installed in it.
#pragma once

#include "support/FakeCups.h"
#include "support/TestFiles.h"

#include <string>
#include <vector>

namespace pbtest {

// ROOT with var/run, tmp, var/log/cups, var/spool/cups, Users, etc, usr/bin, usr/sbin, out and
// the fake CUPS (FakeCups). The simulated printers write under ROOT/out. Removed with all it
// holds at destruction.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    std::string path(const std::string& absolute) const { return root_ + absolute; }
    const std::string& root() const { return root_; }
    // Queues that `lpstat -v` lists, as "pellbluetooth://NAME" device lines.
    void setQueues(const std::vector<std::string>& printerNames) const { cups_.setQueues(printerNames); }
    // A queue's state as `lpstat -p` shows it: "idle", "printing" or "stopped".
    void setQueueState(const std::string& queue, const std::string& state) const { cups_.setQueueState(queue, state); }
    std::string queueState(const std::string& queue) const { return cups_.queueState(queue); }
    std::string lpadminCalls() const { return cups_.calls("lpadmin"); }
    std::string restarts() const { return cups_.restarts(); }
    const FakeCups& cups() const { return cups_; }
    std::string printed(const std::string& printer) const { return readFile(printerFolder(printer) + "/stream.bin"); }
    std::string printerFolder(const std::string& name) const { return path("/out/") + name; }

private:
    static std::string makeRoot();
    std::string root_;
    FakeCups cups_;
};

}  // namespace pbtest
