// Drives the simulated radio of a running agent through its control FIFO.
#pragma once

#include "AgentHarness.h"

#include <string>

namespace agenttest {

// The radio makes the FIFO at ROOT/sim-control when the agent is started with setting();
// each line is one order for one printer.
class SimControl {
public:
    explicit SimControl(const TempRoot& root) : path_(root.path("/sim-control")) {}
    std::string setting() const { return "QUORVEL_SIM_CONTROL=" + path_; }

    // Each false when the radio did not take the line within kWriteLimit.
    bool leave(const std::string& printer) const { return send("leave " + printer); }    // out of range
    bool comeBack(const std::string& printer) const { return send("return " + printer); }
    bool drop(const std::string& printer) const { return send("drop " + printer); }      // link lost now
    bool rate(const std::string& printer, unsigned long bytesPerSecond) const {
        return send("rate " + printer + " " + std::to_string(bytesPerSecond));
    }
    bool send(const std::string& line) const;

    static constexpr auto kWriteLimit = 5s;

private:
    std::string path_;
};

}  // namespace agenttest
