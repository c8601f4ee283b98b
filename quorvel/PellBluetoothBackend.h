// The agent's print-job orchestrator: turns received work into a printer name and job bytes,
// points the BLE manager at that printer and sends the job, or keeps it until the printer's
// link is ready.
#pragma once

#include "common/Channel.h"
#include "common/MainQueue.h"
#include "quorvel/BLEPrinterManager.h"
#include "quorvel/DiscoveryReporter.h"
#include "quorvel/Logger.h"
#include "quorvel/PrinterConnections.h"
#include "quorvel/PrinterJobs.h"
#include "quorvel/ScanRequester.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

// Threads: doPrint runs on the print-data reader's thread or on the main queue; everything
// else on the main queue or the queue checker's queues. deviceName is guarded by a mutex,
// never held while calling out; the jobs themselves live on the main queue (PrinterJobs).
class PellBluetoothBackend : public ScanRequester, public PrinterConnections {
public:
    struct Paths {
        std::string spoolFolder;  // "/var/spool/cups" under the root prefix
        std::string usersFolder;  // "/Users" under the root prefix: forwarded job files live here
    };

    // `broadcaster` is the orchestrator's own discovery reporter (not the BLE manager's); `jobs`
    // holds the jobs until their printers' links take them; `mainQueue` runs `jobs`. Installs
    // the characteristic hook on `bleManager`; all must outlive the orchestrator.
    PellBluetoothBackend(BLEPrinterManager& bleManager, DiscoveryReporter& broadcaster, Logger& logger, Paths paths,
                         PrinterJobs& jobs, asio::io_context& mainQueue);
    // The paths under the root prefix.
    static Paths rootedPaths();

    void requestBluetooth();

    // A forwarded argument vector: six or more words are a job read from a file; fewer, whose
    // first is a device URI, start a scan for that device.
    void performStart(const std::vector<std::string>& arguments);
    void handlePrintTask(const std::vector<std::string>& arguments);
    void printJob(const std::string& deviceURI, const std::string& jobID, const std::string& user,
                  const std::string& title, const std::string& numCopies, const std::string& filePath);

    // One job from the print-data channel, as received: hex text (or raw bytes when it is not
    // hex text) for the printer named by deviceName. Queued for that printer (on the main
    // queue) behind the jobs before it; its backend waits for its outcome.
    void doPrint(std::string received);

    // Points the BLE manager at `name` when it is after another printer (a device switch).
    void checkBleMgr(const std::optional<std::string>& name);
    void startScan() override;
    void startScanAndBroadcast(const std::optional<std::string>& name);
    bool startConnect(const std::string& name) override;
    void disconnectPrinter(const std::string& name) override;
    // Reports `deviceName` through the orchestrator's broadcaster unless isBroadcasting is
    // set (a spool-file job clears it).
    void startBroadcasting(const std::string& deviceName) override;
    void stopBroadcasting();
    bool isPrinterConnected(const std::string& name) override;
    void ensureScanning() override;

    std::optional<std::string> deviceName() const;
    void setDeviceName(std::optional<std::string> name);
    bool isBroadcasting() const;

    // Hex text to bytes, two characters per byte; a pair may also be a sign and a digit ("+f" is
    // 15, "-0" is 0). A lone last character is dropped; empty text gives no bytes. Empty
    // optional when a pair is not a number from 0 to 255.
    static std::optional<std::vector<std::uint8_t>> hexStringToData(std::string_view text);
    // "/var/spool/cups/d" + the job id as "%05d" + "-001", under `spoolFolder`; a job id that is
    // not a decimal integer counts as 0.
    static std::string spoolFilePath(const std::string& spoolFolder, const std::string& jobID);
    // The job file a forwarded vector names, resolved (links and ".."); empty unless the result
    // lies inside `usersFolder`.
    static std::optional<std::string> resolveUsersFile(const std::string& usersFolder, const std::string& filePath);

    // The pause before a new scan after a job found no link.
    static constexpr std::chrono::milliseconds kNoLinkPause{100};
    // Job files larger than this are not read (the agent keeps a job in memory).
    static constexpr std::uintmax_t kMaxJobFileBytes = pb::kMaxJobBytes;
    static constexpr const char* kUsersPrefix = "/Users/";

private:
    void log(const std::string& message) const { logger_.log(message); }
    void onCharacteristicFound(const std::shared_ptr<ble::Characteristic>& characteristic,
                               const std::optional<std::string>& printerName);
    void deliverJob(std::string received, bool answersBackend);
    std::optional<std::string> jobFilePath(const std::string& jobID, const std::string& filePath) const;

    BLEPrinterManager& bleManager_;
    DiscoveryReporter& broadcaster_;
    Logger& logger_;
    const Paths paths_;
    PrinterJobs& jobs_;
    asio::io_context& mainQueue_;

    mutable std::mutex nameMutex_;
    std::optional<std::string> deviceName_;
    bool isBroadcasting_ = false;
};

}  // namespace quorvel
