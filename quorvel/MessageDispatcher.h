// The handler of the backend's command texts: acts on the first word of each text.
#pragma once

#include "quorvel/Logger.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

// What the dispatcher drives; main wires these to the orchestrator, the FIFO server and the
// queue checker. Each is called on the dispatcher's thread (the main queue's).
struct DispatcherActions {
    std::function<void()> startScan;                                   // orchestrator
    std::function<void(const std::string& name)> setDeviceName;        // orchestrator's deviceName
    std::function<void()> startCommunication;                          // FIFO server
    std::function<void(const std::string& name)> checkPrinterLoop;     // queue checker
    std::function<void(const std::vector<std::string>& words)> performStart;  // orchestrator
    std::function<void()> channelJobComing;                            // the agent's jobs
    std::function<void(const std::string& name)> cancelPrint;          // the agent's jobs
    // Before startCommunication for a "doPrint": the job's print-data length, when it says.
    std::function<void(std::optional<std::uint64_t> length)> expectPrintData;  // FIFO server
};

class MessageDispatcher {
public:
    // The first word of a forwarded argument vector: the backend's own install path.
    static constexpr const char* kForwardedVectorWord = "/usr/libexec/cups/backend/pellbluetooth";
    static constexpr const char* kDevicePrefix = "pellbluetooth";

    MessageDispatcher(Logger& logger, DispatcherActions actions);

    // Handles one received text. Only the first word (and its second) is looked at, except for
    // a forwarded vector, which passes on every word after the first.
    void dispatch(const std::string& text);

    // W with every "pellbluetooth://" removed.
    static std::string deviceNameFromUri(const std::string& uri);

private:
    void doPrint(const std::vector<std::string>& words);
    void addPrint(const std::vector<std::string>& words);
    void cancelPrint(const std::vector<std::string>& words);

    Logger& logger_;
    DispatcherActions actions_;
};

}  // namespace quorvel
