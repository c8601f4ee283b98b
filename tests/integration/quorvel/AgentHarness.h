// Runs the built agent, backend and filter as processes in a temporary root, with either radio
// and small stateful fakes of the CUPS tools that record their calls.
#pragma once

#include "JobAudit.h"
#include "support/PrivateBus.h"
#include "support/Process.h"
#include "support/TempRoot.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace agenttest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using pbtest::Process;  // a child process killed at destruction (tests/support/)
using pbtest::readFile;
using pbtest::TempRoot;  // the temporary root with the fake CUPS (tests/support/)
using pbtest::waitUntil;
using pbtest::writeFile;

constexpr int kRetryStatus = 6;  // CUPS_BACKEND_RETRY

// Which radio the agent drives: the simulated one in its own process, or BlueZ's API served by
// the fake Bluetooth service on a private bus. Both run the same virtual printers.
enum class Radio { Simulated, BlueZ };

std::string radioName(const ::testing::TestParamInfo<Radio>& info);
void PrintTo(Radio radio, std::ostream* out);  // for gtest, and so ctest's test names

// The virtual printers `printers` (comma-separated) behind either radio, printing into
// ROOT/out with `settings` (QUORVEL_SIM_*). For BlueZ it owns the private bus with the fake,
// which outlives any agent; agentSettings() are what an agent needs to reach them.
class RadioRig {
public:
    RadioRig(Radio radio, const TempRoot& root, const std::string& printers, std::vector<std::string> settings = {});
    Radio radio() const { return radio_; }
    std::vector<std::string> agentSettings() const;
    // One control line (ble/sim/ControlCommand.h); false when the radio did not take it in 5 s.
    bool order(const std::string& line) const;
    pbtest::PrivateBus& bus() { return *bus_; }  // BlueZ only

private:
    Radio radio_;
    std::string controlFifo_;
    std::vector<std::string> settings_;
    std::unique_ptr<pbtest::PrivateBus> bus_;
};

// The agent on the simulated radio with `printers`; `extra` adds NAME=value settings (a
// RadioRig's agentSettings() put it on that rig's radio).
// Constructed once it listens on its channel. Another Agent in the same root after this one
// was destroyed (killed) is a restart: the log goes on, and the ...SinceStart calls only look
// at what this one wrote.
class Agent {
public:
    Agent(const TempRoot& root, const std::string& printers, std::vector<std::string> extra = {});
    bool logHas(const std::string& text) const { return log().find(text) != std::string::npos; }
    bool waitForLog(const std::string& text, Clock::duration limit = 10s) const;
    bool logHasSinceStart(const std::string& text) const { return log().find(text, logStart_) != std::string::npos; }
    bool waitForLogSinceStart(const std::string& text, Clock::duration limit = 10s) const;
    Process& process() { return process_; }

private:
    std::string log() const;
    const TempRoot& root_;
    std::size_t logStart_;
    Process process_;
};

// The backend for `jobFile`'s bytes to `printer`, job number `jobId`, started as CUPS starts
// it; its standard output and error go to ROOT/backend-ID.out. Killed at destruction.
class BackendJob {
public:
    BackendJob(const TempRoot& root, const std::string& printer, const std::string& jobFile, int jobId);
    std::optional<int> waitExit(Clock::duration limit);
    bool running() { return !waitExit(0s); }
    void signal(int number) const { process_.signal(number); }
    std::string output() const { return readFile(outputPath_); }
    bool said(const std::string& text) const { return output().find(text) != std::string::npos; }
    // From the start to the exit (or to now, while it runs).
    Clock::duration elapsed() const { return (end_ ? *end_ : Clock::now()) - start_; }

private:
    std::string outputPath_;
    Clock::time_point start_;
    std::optional<Clock::time_point> end_;
    Process process_;
};

// A command stream for `printer` from `pages` generated pages through vellumar.
std::string filteredJob(const TempRoot& root, const std::string& printer, int pages);

// A temporary root with queues for some virtual printers, an agent serving them that can be
// killed and started again, and what the printers received, on `radio`. The printers get the
// `simulator` settings; the rig waits until the agent has connected every printer.
class DeliveryRig {
public:
    explicit DeliveryRig(std::vector<std::string> printers, std::vector<std::string> simulator = {},
                         Radio radio = Radio::Simulated);

    TempRoot root;
    RadioRig& radio() { return *radio_; }

    Agent& agent() { return *agent_; }
    // SIGKILL, at once: the printers keep what reached them. Where each stream stood is noted,
    // since the next agent's printers decode afresh from there.
    void killAgent();
    void startAgent();  // a new agent in the same root, once every printer is connected
    bool agentRunning() const { return agent_.has_value(); }
    // "leave P" (out of range), "return P", "drop P" (link lost now), "rate P BYTES_PER_SECOND";
    // false when the radio did not take the line within 5 s.
    bool order(const std::string& line) const { return radio_->order(line); }

    // A generated job of about `size` bytes, written to ROOT/job-ID.bin; returns that path.
    std::string writeJob(std::uint32_t id, std::size_t size);
    std::string printed(const std::string& printer) const { return root.printed(printer); }
    std::size_t printedSize(const std::string& printer) const;  // without reading the stream
    // What the printer received after its first `offset` bytes.
    std::string printedSince(const std::string& printer, std::size_t offset) const;
    // Every printer's stream, cut where the agent was restarted.
    std::vector<PrinterStream> streams() const;
    // Waits until every printer's stream has stopped growing for `quiet`; false at `limit`.
    bool waitForQuietPrinters(Clock::duration quiet = 1s, Clock::duration limit = 30s) const;

private:
    std::vector<std::string> printers_;
    std::optional<RadioRig> radio_;
    std::optional<Agent> agent_;
    std::map<std::string, std::vector<std::size_t>> restartsAt_;
};

// Stream lengths, binary: say where they differ rather than print them.
::testing::AssertionResult sameBytes(const std::string& printed, const std::string& sent);

}  // namespace agenttest
