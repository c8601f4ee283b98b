// A temporary root with queues for some virtual printers, an agent serving them that can be
// killed and started again, generated jobs, and the audit of what the printers received.
#pragma once

#include "AgentHarness.h"
#include "JobAudit.h"
#include "SimControl.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace agenttest {

class DeliveryRig {
public:
    // Each printer has a queue; the agent is started with the control FIFO and `simulator`
    // settings, and the rig waits until it has connected every printer.
    explicit DeliveryRig(std::vector<std::string> printers, std::vector<std::string> simulator = {});

    TempRoot root;
    SimControl control{root};

    Agent& agent() { return *agent_; }
    // SIGKILL, at once: the printers keep what reached them. Where each stream stood is noted,
    // since the next agent's printers decode afresh from there.
    void killAgent();
    // A new agent in the same root; waits until it has connected every printer.
    void startAgent();
    bool agentRunning() const { return agent_.has_value(); }

    // A generated job of about `size` bytes, written to ROOT/job-ID.bin; returns that path.
    std::string writeJob(std::uint32_t id, std::size_t size);
    // The bytes a printer received since the rig started.
    std::string printed(const std::string& printer) const { return root.printed(printer); }
    // Bytes in the printer's stream so far, without reading them.
    std::size_t printedSize(const std::string& printer) const;
    // What the printer received after its first `offset` bytes.
    std::string printedSince(const std::string& printer, std::size_t offset) const;
    // Every printer's stream, cut where the agent was restarted.
    std::vector<PrinterStream> streams() const;
    // Waits until every printer's stream has stopped growing for `quiet`; false at `limit`.
    bool waitForQuietPrinters(Clock::duration quiet = 1s, Clock::duration limit = 30s) const;

    const std::vector<std::string>& printers() const { return printers_; }

private:
    std::vector<std::string> printers_;
    std::vector<std::string> settings_;
    std::optional<Agent> agent_;
    std::map<std::string, std::vector<std::size_t>> restartsAt_;
};

// Stream lengths, binary: say where they differ rather than print them.
::testing::AssertionResult sameBytes(const std::string& printed, const std::string& sent);

}  // namespace agenttest
