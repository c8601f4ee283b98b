// The agent's Bluetooth LE central: radio state, scanning, printer connections, the
// credit-paced transfer of a job and the decoding of the printer's reports.
#pragma once

#include "ble/Central.h"
#include "ble/CentralDelegate.h"
#include "ble/Characteristic.h"
#include "ble/Peripheral.h"
#include "ble/PeripheralDelegate.h"
#include "common/SerialQueue.h"
#include "quorvel/PrinterReports.h"

#include <asio.hpp>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <map>
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
class ReplyChannel;
class ScanRequester;

inline constexpr const char* kPrintQueueLabel = "com.pelltandle.print.queue";
inline constexpr int kInitialMtu = 182;
inline constexpr int kMinimumChunkSize = 512;
inline constexpr std::string_view kPrinterServiceUuid = "FF00";
inline constexpr std::string_view kCreditCharacteristicUuid = "FF03";
inline constexpr std::string_view kYF316ModelCode = "YF-316";

// Ownership and wiring: create it with std::make_shared (the radio holds its delegates
// weakly), call attach() once with the objects it reports to, then requestBluetoothAccess().
// It lives for the whole run of the agent. Every collaborator must outlive it.
//
// Threads: the radio's callbacks arrive on the main queue. The operations may be called from
// any thread (the main queue, the print-data reader, the queue checker's queues). One mutex
// serialises the tables (discovered and connected printers, printerPeripheral, deviceName,
// the characteristics) and the transfer state (credits, mtu, pendingData, sendDataOffset);
// the send loop holds it for a whole burst, so a credit grant arriving meanwhile waits and no
// chunk is sent twice or skipped. The queue tracker, the scan requester, the reply channel,
// the characteristic hook and errorComplete are never called while that mutex is held, so
// they may call back into the manager; the discovery reporter may be (see its header).
//
// Credits and characteristics belong to the link of one printer: each connected printer
// keeps its own, and they go when its link ends. The transfer writes only to the printer it
// was started for, with that printer's credits.
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
    void attach(ScanRequester& scanRequester, PrinterQueueTracker& queueTracker, ReplyChannel& replyChannel,
                DiscoveryReporter& discoveryReporter);

    // Connection management.
    void requestBluetoothAccess();
    void startScan();
    void stopScan();
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

    // Transfer. Starts sending `data` to the printer stored under `name` (or to
    // printerPeripheral without a name), replacing any job still pending. Sends what the
    // printer's credits allow now; credit grants send the rest. Replies "status finished"
    // once the last chunk is written, or "status error" when the printer has no
    // write-without-response characteristic or its link drops after part of the job went out
    // (the job is then dropped; one not yet started waits for the next link).
    void sendPrintData(const std::optional<std::string>& name, ble::Bytes data);
    // Sends chunks of the pending job while credits last; nothing without a pending job.
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
    int mtu() const;
    int chunkSize() const;
    std::size_t sendDataOffset() const;
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
    // What one connected printer's link has: its characteristics and its unspent credits.
    struct PrinterLink {
        std::shared_ptr<ble::Peripheral> peripheral;
        std::shared_ptr<ble::Characteristic> creditCharacteristic;
        std::shared_ptr<ble::Characteristic> writeCht;
        std::shared_ptr<ble::Characteristic> writeWithoutRspCht;
        bool classified = false;  // the FF00 characteristics have been looked at
        int credit = 0;
    };
    // The job being sent and the printer it goes to.
    struct Transfer {
        std::optional<ble::Bytes> pendingData;
        std::size_t sendDataOffset = 0;
        std::shared_ptr<ble::Peripheral> target;
    };
    enum class SendOutcome { idle, waiting, finished, noDataCharacteristic, linkLost };

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
    SendOutcome sendWhileCreditsLast();
    void logChunkSent(std::size_t length, std::size_t offset, std::size_t total) const;
    void writeToLink(const PrinterLink* link, ble::Bytes data, bool withResp);
    void endTransfer();
    // Ends the transfer to `peripheral` when its link fell after part of the job was written;
    // true when it did (the caller replies "status error").
    bool abandonTransferCutShort(const std::shared_ptr<ble::Peripheral>& peripheral, const std::string& name);

    // Without mutex_ held.
    void finishSending(SendOutcome outcome);
    // Records the link's characteristics (none without a service), fails a job waiting for a
    // link without a data characteristic, then calls the characteristic hook.
    void settleLink(const std::shared_ptr<ble::Peripheral>& peripheral, const std::shared_ptr<ble::Service>& service);
    bool applyCreditOrMtu(const std::shared_ptr<ble::Peripheral>& peripheral, const ble::Bytes& value,
                          std::string_view creditPrefix);
    void resumeIfPending();
    void reportPrinterError(const PrinterError& error);

    CentralFactory centralFactory_;
    asio::io_context& mainQueue_;
    Logger& logger_;
    std::FILE* console_;

    ScanRequester* scanRequester_ = nullptr;
    PrinterQueueTracker* queueTracker_ = nullptr;
    ReplyChannel* replyChannel_ = nullptr;
    DiscoveryReporter* discoveryReporter_ = nullptr;

    mutable std::mutex mutex_;
    std::shared_ptr<ble::Central> centralManager_;
    std::shared_ptr<ble::Peripheral> printerPeripheral_;
    std::vector<std::shared_ptr<ble::Peripheral>> discoveredDevices_;
    std::map<std::string, std::shared_ptr<ble::Peripheral>> connectedDevices_;
    std::vector<PrinterLink> links_;
    bool isScanning_ = false;
    int mtu_ = kInitialMtu;
    int chunkSize_ = kMinimumChunkSize;
    Transfer transfer_;
    std::optional<std::string> deviceName_;
    CharacteristicFoundCallback characteristicFoundCallback_;
    ErrorCallback errorComplete_;

    // Last, so it stops (and drops work not yet run) before the fields above go.
    pb::SerialQueue queue_{kPrintQueueLabel};
};

}  // namespace quorvel
