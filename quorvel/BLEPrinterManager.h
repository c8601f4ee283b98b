// The agent's Bluetooth LE central: radio state, scanning, printer connections, the
// credit-paced transfer of a job and the decoding of the printer's reports.
#pragma once

#include "ble/Central.h"
#include "ble/CentralDelegate.h"
#include "ble/Characteristic.h"
#include "ble/Peripheral.h"
#include "ble/PeripheralDelegate.h"
#include "common/SerialQueue.h"
#include "quorvel/LinkTransfer.h"
#include "quorvel/PrinterReports.h"

#include <asio.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

class DiscoveryReporter;
class Logger;
class PrinterQueueTracker;
class ScanRequester;

inline constexpr const char* kPrintQueueLabel = "com.pelltandle.print.queue";
inline constexpr int kInitialMtu = 182;
inline constexpr int kMinimumChunkSize = 512;
inline constexpr std::string_view kPrinterServiceUuid = "FF00";
inline constexpr std::string_view kCreditCharacteristicUuid = "FF03";
inline constexpr std::string_view kYF316ModelCode = "YF-316";
// Links held at once; a radio holds only a few LE connections, and each costs the printers'
// advertising time on the others.
inline constexpr std::size_t kMaxLinks = 4;
// Notifications held back for a characteristic whose notifications are not on yet.
inline constexpr std::size_t kMaxHeldBackValues = 32;

// How a job handed to sendPrintData ended. Reported on the main queue.
struct JobEnd {
    enum class Kind {
        finished,   // every byte was handed to the link
        failed,     // the link fell or the printer stopped granting after part of it went out,
                    // or the printer has no data characteristic
        cancelled,  // cancelJob: it stopped at a chunk's end and the cut command was completed
        notSent,    // the link fell before any of it went out: it may be sent again
        linkFree,   // no job: a completion sent on its own is done, the link takes jobs again
    };
    std::uint64_t jobId = 0;
    std::string printer;  // the advertised name of the printer it went to
    Kind kind = Kind::finished;
};

// Ownership and wiring: create it with std::make_shared (the radio holds its delegates
// weakly), call attach() once with the objects it reports to, then requestBluetoothAccess().
// It lives for the whole run of the agent. Every collaborator must outlive it.
//
// Threads: the radio's callbacks arrive on the main queue. The operations may be called from
// any thread (the main queue, the print-data reader, the queue checker's queues). One mutex
// serialises the tables (discovered and connected printers, printerPeripheral, deviceName,
// the characteristics) and every link's transfer (credits, MTU, the job in hand);
// the send loop holds it for a whole burst, so a credit grant arriving meanwhile waits and no
// chunk is sent twice or skipped. The queue tracker, the scan requester, the characteristic
// hook, errorComplete, the job-end callback and the wanted-printer test are never called
// while that mutex is held, so they may call back into the manager; the discovery reporter
// may be (see its header).
//
// Several printers may be linked at once (at most kMaxLinks). Credits, MTU, characteristics
// and the job in hand belong to the link of one printer: each connected printer keeps its own
// LinkTransfer, and a job only ever goes to the printer it was started for, with its credits.
// A job cut mid-command (cancel, link lost, no credit) leaves what the printer needs to reach
// the command's end; it is sent on that printer's link before anything else.
class BLEPrinterManager : public ble::CentralDelegate,
                          public ble::PeripheralDelegate,
                          public std::enable_shared_from_this<BLEPrinterManager> {
public:
    // Makes the central used from now on; called at each requestBluetoothAccess(). It may hand
    // back the same central again (the simulated radio keeps its printers that way).
    using CentralFactory = std::function<std::shared_ptr<ble::Central>()>;
    // The characteristic hook. Runs on the main queue each time the GATT discovery of a
    // connected printer has settled (its FF00 characteristics classified, or no FF00 service):
    // `characteristic` is that printer's write-without-response characteristic, null when it
    // offers none; `printerName` is the
    // printer's advertised name (empty when it has none). The hook must not block the main
    // queue: move any wait onto another queue.
    using CharacteristicFoundCallback = std::function<void(std::shared_ptr<ble::Characteristic> characteristic,
                                                           const std::optional<std::string>& printerName)>;
    // Runs on the print queue for each status or error report.
    using ErrorCallback = std::function<void(const PrinterError& error)>;
    // Runs on the main queue when a job handed to sendPrintData ends.
    using JobEndCallback = std::function<void(const JobEnd& end)>;
    // Asked on the main queue for each advertised printer: true when a job waits for it, so
    // discovery connects it whatever printer the manager is after.
    using WantedPrinter = std::function<bool(const std::string& advertisedName)>;

    // `mainQueue` is the io_context the central posts its callbacks to (pb::MainQueue's
    // context() in the agent); the MTU resume step is posted there. `console` receives the
    // lines that go to standard output rather than the log (not owned).
    BLEPrinterManager(CentralFactory centralFactory, asio::io_context& mainQueue, Logger& logger,
                      std::FILE* console = stdout);
    ~BLEPrinterManager() override;
    BLEPrinterManager(const BLEPrinterManager&) = delete;
    BLEPrinterManager& operator=(const BLEPrinterManager&) = delete;

    // Wires the collaborators, which refer back to the manager and so are made after it.
    // Call once, before requestBluetoothAccess() and before the main queue runs; calls made
    // before it skip what they would ask of a collaborator.
    void attach(ScanRequester& scanRequester, PrinterQueueTracker& queueTracker, DiscoveryReporter& discoveryReporter);

    // Connection management.
    void requestBluetoothAccess();
    void startScan();
    void stopScan();
    // Starts a scan, or keeps the one running going without restarting it (a restart cuts the
    // discovery of a printer coming into range short).
    void ensureScanning();
    // A scan nobody has asked for (startScan, ensureScanning) for this long ends: a printer
    // without a queue in range would otherwise keep the radio scanning, and the log growing,
    // for ever. The queue checker asks every 6 s while a queue's printer is away, and waiting
    // jobs every second.
    static constexpr std::chrono::seconds kIdleScanLimit{15};
    // Connects the discovered printer named exactly `name`; otherwise reports whether it is
    // connected already.
    bool connect(const std::string& name);
    // Reconnects a printer connected earlier; true when it is connected or a connection was
    // asked for (the link may still be coming up).
    bool reConnect(const std::optional<std::string>& deviceName);
    bool isConnected(const std::string& deviceName) const;
    void stopConnect();
    void stopConnect(const std::string& name);
    void startBroadcasting(const std::string& deviceName);
    // True when the peripheral's name begins with a whitelisted model (and logs it).
    bool filterAndBroadcast(const std::shared_ptr<ble::Peripheral>& peripheral);
    void setCallback(CharacteristicFoundCallback callback);
    void setErrorComplete(ErrorCallback callback);
    void setJobEndCallback(JobEndCallback callback);
    void setWantedPrinter(WantedPrinter wanted);

    // Transfer. Starts sending job `jobId` to the printer linked under the advertised name
    // `name` (or to printerPeripheral without a name). False, with nothing started, when that
    // printer has no settled link with a data characteristic or its link is busy with another
    // job or a completion. The printer's credits pace the writes; the job's end is reported to
    // the job-end callback.
    bool sendPrintData(const std::optional<std::string>& name, std::uint64_t jobId, std::shared_ptr<const JobBytes> data);
    // Stops job `jobId` at the end of the chunk in hand; its cut command is completed, then
    // its end is reported as cancelled. Nothing when no link has it.
    void cancelJob(std::uint64_t jobId);
    // How far job `jobId` has gone; empty when no link has it.
    std::optional<LinkTransfer::Progress> jobProgress(std::uint64_t jobId) const;
    // True when `advertisedName`'s link is up with its characteristics looked at (settled).
    bool isLinkSettled(const std::string& advertisedName) const;
    // True when that link is settled and idle: a job handed to it now starts at once (and
    // fails at once when the printer has no data characteristic).
    bool isReadyForJob(const std::string& advertisedName) const;
    // Abandons every transfer that got no credit for LinkTransfer::kStallLimit.
    void checkStalledTransfers();
    // Sends chunks on every link while its credits last.
    void continueSendingData();
    // Writes `data` to printerPeripheral: with response on the write characteristic, without
    // on the write-without-response one; nothing when either is missing.
    void writeData(ble::Bytes data, bool withResp);
    bool isYF316Device() const;

    // Report decoders (see PrinterReports.h).
    static int creditWith(const ble::Bytes& value) { return quorvel::creditWith(value); }
    static int mtuWith(const ble::Bytes& value) { return quorvel::mtuWith(value); }

    // The printer the agent is after: its advertised name or a prefix of it. Empty: none.
    std::optional<std::string> deviceName() const;
    void setDeviceName(std::optional<std::string> name);

    // State, for the orchestrator and for tests. Thread-safe snapshots.
    std::shared_ptr<ble::Peripheral> printerPeripheral() const;
    bool hasPrinterPeripheral() const { return printerPeripheral() != nullptr; }
    // Credits of printerPeripheral's link; 0 without one.
    int credit() const;
    // The last MTU a printer reported.
    int mtu() const;
    int chunkSize() const;
    // Job bytes of printerPeripheral's link's job already written; 0 without one.
    std::size_t sendDataOffset() const;
    // True while any link sends a job.
    bool hasPendingData() const;
    bool isScanning() const;
    std::vector<std::string> discoveredDeviceNames() const;
    std::vector<std::string> connectedDeviceNames() const;
    // The characteristics of printerPeripheral's link; null when absent.
    std::shared_ptr<ble::Characteristic> writeWithoutRspCht() const;
    std::shared_ptr<ble::Characteristic> writeCht() const;
    std::shared_ptr<ble::Characteristic> creditCharacteristic() const;

    // Central callbacks (main queue).
    void didUpdateState(ble::Central& central, ble::CentralState state) override;
    void didDiscoverPeripheral(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral,
                               int rssi) override;
    void didFailToConnect(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral,
                          const std::optional<ble::BleError>& error) override;
    void didDisconnect(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral,
                       const std::optional<ble::BleError>& error) override;
    void didConnect(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral) override;

    // Peripheral callbacks (main queue).
    void didDiscoverServices(const std::shared_ptr<ble::Peripheral>& peripheral,
                             const std::optional<ble::BleError>& error) override;
    void didDiscoverCharacteristics(const std::shared_ptr<ble::Peripheral>& peripheral,
                                    const std::shared_ptr<ble::Service>& service,
                                    const std::optional<ble::BleError>& error) override;
    void didUpdateValue(const std::shared_ptr<ble::Peripheral>& peripheral,
                        const std::shared_ptr<ble::Characteristic>& characteristic,
                        const std::optional<ble::BleError>& error) override;
    void didWriteValue(const std::shared_ptr<ble::Peripheral>& peripheral,
                       const std::shared_ptr<ble::Characteristic>& characteristic,
                       const std::optional<ble::BleError>& error) override;

    // Decodes one value from `peripheral`; runs on the print queue, values one at a time.
    void didReceiveData(const std::shared_ptr<ble::Peripheral>& peripheral, const ble::Bytes& value,
                        const std::shared_ptr<ble::Characteristic>& characteristic);

private:
    // What one connected printer's link has: its characteristics, its transfer (credits, MTU,
    // the job in hand) and the notifications it holds back until they are turned on.
    struct PrinterLink {
        std::shared_ptr<ble::Peripheral> peripheral;
        std::string name;  // advertised name; empty for a printer without one
        std::shared_ptr<ble::Characteristic> creditCharacteristic;
        std::shared_ptr<ble::Characteristic> writeCht;
        std::shared_ptr<ble::Characteristic> writeWithoutRspCht;
        bool classified = false;  // the FF00 characteristics have been looked at
        LinkTransfer transfer;
        std::vector<std::shared_ptr<ble::Characteristic>> notifying;  // turned on by us
        std::deque<std::pair<std::shared_ptr<ble::Characteristic>, ble::Bytes>> heldBack;
    };
    // A job end to report, gathered under the lock and reported after it.
    using JobEnds = std::vector<JobEnd>;

    void log(std::string_view line) const;
    void printLine(const std::string& line) const;
    std::shared_ptr<BLEPrinterManager> self();

    // With mutex_ held.
    PrinterLink* linkOf(const std::shared_ptr<ble::Peripheral>& peripheral);
    const PrinterLink* linkOf(const std::shared_ptr<ble::Peripheral>& peripheral) const;
    PrinterLink& ensureLink(const std::shared_ptr<ble::Peripheral>& peripheral);
    std::shared_ptr<ble::Peripheral> connectedPeripheral(const std::string& name) const;
    void stopScanLocked();
    void connectLocked(const std::shared_ptr<ble::Peripheral>& peripheral);
    bool isConnectedLocked(const std::string& name) const;
    void stopConnectLocked();
    bool isYF316DeviceLocked() const;
    // Sends on `link` while its credits last; ends the transfer when all of it is out.
    void sendWhileCreditsLast(PrinterLink& link, JobEnds& ends);
    void logChunkSent(std::size_t length, std::size_t offset, std::size_t total) const;
    void writeToLink(const PrinterLink* link, ble::Bytes data, bool withResp);
    // Drops the transfer of a link that ended or stalled; keeps what its printer needs next.
    void abandonTransfer(PrinterLink& link, const std::string& why, JobEnds& ends);
    void startOwedCompletion(PrinterLink& link);
    // Scans again after a connection stopped the scan, keeping what was discovered.
    void resumeScan();
    bool isConnectingOrLinkedLocked(const std::shared_ptr<ble::Peripheral>& peripheral) const;

    // Without mutex_ held.
    void reportJobEnds(JobEnds ends);
    // Records the link's characteristics (none without a service), fails a job waiting for a
    // link without a data characteristic, then calls the characteristic hook.
    void settleLink(const std::shared_ptr<ble::Peripheral>& peripheral, const std::shared_ptr<ble::Service>& service);
    bool applyCreditOrMtu(const std::shared_ptr<ble::Peripheral>& peripheral, const ble::Bytes& value,
                          std::string_view creditPrefix);
    bool holdBack(const std::shared_ptr<ble::Peripheral>& peripheral, const std::shared_ptr<ble::Characteristic>& characteristic,
                  const ble::Bytes& value);
    void releaseHeldBack(const std::shared_ptr<ble::Peripheral>& peripheral);
    // Notes a request for the scan and, on the main queue, (re)arms the check that ends it
    // once nobody has asked for kIdleScanLimit.
    void noteScanRequestLocked();
    void checkIdleScan();
    void armIdleScanCheck(std::chrono::steady_clock::duration after);  // main queue only
    void reportPrinterError(const PrinterError& error);

    CentralFactory centralFactory_;
    asio::io_context& mainQueue_;
    Logger& logger_;
    std::FILE* console_;

    ScanRequester* scanRequester_ = nullptr;
    PrinterQueueTracker* queueTracker_ = nullptr;
    DiscoveryReporter* discoveryReporter_ = nullptr;

    mutable std::mutex mutex_;
    std::shared_ptr<ble::Central> centralManager_;
    std::shared_ptr<ble::Peripheral> printerPeripheral_;
    std::vector<std::shared_ptr<ble::Peripheral>> discoveredDevices_;
    std::map<std::string, std::shared_ptr<ble::Peripheral>> connectedDevices_;
    std::deque<PrinterLink> links_;  // a deque: links stay where they are while others come and go
    std::vector<std::shared_ptr<ble::Peripheral>> connecting_;  // asked for, not connected yet
    // What a printer whose job was cut on an ended link needs first on its next one.
    std::map<std::string, JobBytes> owedCompletions_;
    std::map<std::string, int> mtuByPrinter_;  // each printer's last MTU report
    bool isScanning_ = false;
    std::chrono::steady_clock::time_point lastScanRequest_{};
    std::unique_ptr<asio::steady_timer> idleScanTimer_;  // main queue only
    bool scanPausedForConnection_ = false;  // the named printer's discovery stopped the scan
    int mtu_ = kInitialMtu;
    int chunkSize_ = kMinimumChunkSize;
    std::optional<std::string> deviceName_;
    CharacteristicFoundCallback characteristicFoundCallback_;
    ErrorCallback errorComplete_;
    JobEndCallback jobEndCallback_;
    WantedPrinter wantedPrinter_;

    // Last, so it stops (and drops work not yet run) before the fields above go.
    pb::SerialQueue queue_{kPrintQueueLabel};
};

}  // namespace quorvel
