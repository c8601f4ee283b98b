// The BLE manager's radio state, scanning, discovery and connection requests.
#include "quorvel/BLEPrinterManager.h"

#include "common/PrinterName.h"

#include "quorvel/DiscoveryReporter.h"
#include "quorvel/Logger.h"
#include "quorvel/PrinterQueueTracker.h"
#include "quorvel/ScanRequester.h"
#include "quorvel/Whitelist.h"

#include <algorithm>
#include <utility>

namespace quorvel {

BLEPrinterManager::BLEPrinterManager(CentralFactory centralFactory, asio::io_context& mainQueue, Logger& logger,
                                     std::FILE* console)
    : centralFactory_(std::move(centralFactory)),
      mainQueue_(mainQueue),
      logger_(logger),
      console_(console != nullptr ? console : stdout) {}

BLEPrinterManager::~BLEPrinterManager() = default;

void BLEPrinterManager::attach(ScanRequester& scanRequester, PrinterQueueTracker& queueTracker,
                               DiscoveryReporter& discoveryReporter) {
    scanRequester_ = &scanRequester;
    queueTracker_ = &queueTracker;
    discoveryReporter_ = &discoveryReporter;
}

void BLEPrinterManager::log(std::string_view line) const { logger_.log(line); }

void BLEPrinterManager::printLine(const std::string& line) const {
    std::fprintf(console_, "%s\n", line.c_str());
    std::fflush(console_);
}

void BLEPrinterManager::requestBluetoothAccess() {
    std::shared_ptr<ble::Central> central = centralFactory_ ? centralFactory_() : nullptr;
    std::shared_ptr<ble::Central> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(centralManager_, central);
    }
    // A replaced central must not keep reporting to us alongside the new one.
    if (previous && previous != central) previous->setDelegate({});
    if (central) central->setDelegate(weak_from_this());
    log("Bluetooth requestBluetoothAccess");
}

void BLEPrinterManager::didUpdateState(ble::Central& central, ble::CentralState state) {
    {
        std::lock_guard lock(mutex_);
        if (&central != centralManager_.get()) return;
    }
    switch (state) {
        case ble::CentralState::unknown:
            log("Bluetooth state is unknown.");
            return;
        case ble::CentralState::resetting: {
            std::lock_guard lock(mutex_);
            isScanning_ = false;
            log("Bluetooth is resetting.");
            return;
        }
        case ble::CentralState::unsupported:
            log("Bluetooth is not supported.");
            return;
        case ble::CentralState::unauthorized:
            log("Bluetooth access is unauthorized.");
            return;
        case ble::CentralState::poweredOff:
            log("Bluetooth is powered off.");
            if (queueTracker_) queueTracker_->stopCheckLoop();
            {
                std::lock_guard lock(mutex_);
                isScanning_ = false;
            }
            return;
        case ble::CentralState::poweredOn:
            log("Bluetooth is powered on.");
            if (scanRequester_) scanRequester_->startScan();
            if (queueTracker_) queueTracker_->checkPrinterLoop();
            return;
    }
    std::lock_guard lock(mutex_);
    isScanning_ = false;
    log("A new Bluetooth state is detected.");
}

void BLEPrinterManager::startScan() {
    std::unique_lock lock(mutex_);
    std::shared_ptr<ble::Central> central = centralManager_;
    if (!central || central->state() != ble::CentralState::poweredOn) {
        log("Bluetooth is not powered on.");
        lock.unlock();
        requestBluetoothAccess();
        return;
    }
    if (isScanning_) {
        log("Bluetooth is now scanning, broadcast the devices that been found");
        for (const auto& peripheral : discoveredDevices_) {
            const std::optional<std::string> name = peripheral->name();
            if (!name) continue;  // the list only ever holds named printers
            if (discoveryReporter_) discoveryReporter_->startBroadcasting(*name);
            log("BLE Broadcasting printer: " + *name + " to pellblutooth backend");
        }
    }
    discoveredDevices_.clear();
    central->scanForPeripherals();
    log("开始扫描 BLE 设备...。。。" + deviceName_.value_or(""));
    isScanning_ = true;
    noteScanRequestLocked();
}

void BLEPrinterManager::ensureScanning() {
    {
        std::lock_guard lock(mutex_);
        if (isScanning_) {
            noteScanRequestLocked();
            return;
        }
    }
    startScan();
}

void BLEPrinterManager::noteScanRequestLocked() {
    lastScanRequest_ = std::chrono::steady_clock::now();
    asio::post(mainQueue_, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (self && !self->idleScanTimer_) self->armIdleScanCheck(kIdleScanLimit);  // else one is due
    });
}

void BLEPrinterManager::armIdleScanCheck(std::chrono::steady_clock::duration after) {
    idleScanTimer_ = std::make_unique<asio::steady_timer>(mainQueue_, after);
    idleScanTimer_->async_wait([weak = weak_from_this()](const std::error_code& error) {
        if (auto manager = weak.lock(); manager && !error) manager->checkIdleScan();
    });
}

void BLEPrinterManager::checkIdleScan() {
    std::unique_lock lock(mutex_);
    idleScanTimer_.reset();
    if (!isScanning_) return;
    const auto idle = std::chrono::steady_clock::now() - lastScanRequest_;
    if (idle < kIdleScanLimit) {
        armIdleScanCheck(kIdleScanLimit - idle);  // asked again meanwhile: look when that runs out
        return;
    }
    log("Scan stopped: nothing has asked for it for " + std::to_string(kIdleScanLimit.count()) + " seconds");
    stopScanLocked();
}

void BLEPrinterManager::stopScan() {
    std::lock_guard lock(mutex_);
    stopScanLocked();
}

void BLEPrinterManager::stopScanLocked() {
    if (discoveryReporter_) discoveryReporter_->stopBroadcasting();
    if (centralManager_) centralManager_->stopScan();
    isScanning_ = false;
}

bool BLEPrinterManager::isConnectingOrLinkedLocked(const std::shared_ptr<ble::Peripheral>& peripheral) const {
    return linkOf(peripheral) != nullptr ||
           std::find(connecting_.begin(), connecting_.end(), peripheral) != connecting_.end();
}

void BLEPrinterManager::connectLocked(const std::shared_ptr<ble::Peripheral>& peripheral) {
    if (!centralManager_) return;
    if (!isConnectingOrLinkedLocked(peripheral)) {
        if (links_.size() + connecting_.size() >= kMaxLinks) {
            log("Connection to " + peripheral->name().value_or("Unknown") + " refused: " + std::to_string(kMaxLinks) +
                " printers are linked or being connected already");
            return;
        }
        connecting_.push_back(peripheral);
    }
    centralManager_->connect(peripheral);
}

bool BLEPrinterManager::filterAndBroadcast(const std::shared_ptr<ble::Peripheral>& peripheral) {
    const std::optional<std::string> name = peripheral ? peripheral->name() : std::nullopt;
    if (!name || whitelistPrefixOf(*name).empty()) return false;
    // A name that hides characters could pass for another printer in CUPS's lists.
    if (const auto why = pb::whyUnfitPrinterName(*name)) {
        log("Printer name refused: " + *why);
        return false;
    }
    log("Found device: " + *name);
    return true;
}

void BLEPrinterManager::startBroadcasting(const std::string& deviceName) {
    if (discoveryReporter_) discoveryReporter_->startBroadcasting(deviceName);
    log("BLE Broadcasting printer: " + deviceName + " to pellblutooth backend");
}

void BLEPrinterManager::didDiscoverPeripheral(ble::Central& central, const std::shared_ptr<ble::Peripheral>& peripheral,
                                              int rssi) {
    (void)central;
    if (!peripheral) return;
    const std::optional<std::string> name = peripheral->name();
    if (!name || !filterAndBroadcast(peripheral)) return;
    log("发现设备: " + *name + ", RSSI: " + std::to_string(rssi));
    {
        std::lock_guard lock(mutex_);
        if (std::find(discoveredDevices_.begin(), discoveredDevices_.end(), peripheral) != discoveredDevices_.end())
            log("broadcast device: " + deviceName_.value_or("") + " before");
        else
            discoveredDevices_.push_back(peripheral);
        if (deviceName_) {
            if (name->starts_with(*deviceName_)) {
                log("Found printer: " + *name);
                stopScanLocked();
                scanPausedForConnection_ = true;
                printerPeripheral_ = peripheral;
                connectLocked(peripheral);
                return;
            }
        } else {
            log("还在扫描阶段，如果存在" + *name + "打印机添加到列表，就连接。");
        }
    }
    WantedPrinter wanted;
    {
        std::lock_guard lock(mutex_);
        if (isConnectingOrLinkedLocked(peripheral)) return;
        wanted = wantedPrinter_;
    }
    // Whatever printer the manager is after, one with a job waiting or a queue is connected
    // too (several links may be up at once), and one without a queue is offered to CUPS.
    // Asked without the lock: the queue tracker reads the queue list in a child process.
    const bool jobWaits = wanted && wanted(*name);
    if (!jobWaits && (!queueTracker_ || !queueTracker_->isPrinterAdded(*name))) {
        startBroadcasting(*name);
        return;
    }
    std::lock_guard lock(mutex_);
    log("打印机存在列表,连接");
    printerPeripheral_ = peripheral;
    connectLocked(peripheral);
}

bool BLEPrinterManager::connect(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (discoveredDevices_.empty()) {
        if (auto stored = connectedPeripheral(name)) discoveredDevices_.push_back(stored);
    }
    for (const auto& peripheral : discoveredDevices_) {
        const std::optional<std::string> peripheralName = peripheral->name();
        if (!peripheralName) continue;
        if (*peripheralName == name) {
            connectLocked(peripheral);
            stopScanLocked();
            log("discovereds device connect " + name);
            return true;
        }
        log("device " + name + " not equals to scan device " + *peripheralName);
    }
    log("device " + name + " not fount at discoveredDevices");
    return isConnectedLocked(name);
}

std::shared_ptr<ble::Peripheral> BLEPrinterManager::connectedPeripheral(const std::string& name) const {
    const auto found = connectedDevices_.find(name);
    return found == connectedDevices_.end() ? nullptr : found->second;
}

bool BLEPrinterManager::isConnected(const std::string& deviceName) const {
    std::lock_guard lock(mutex_);
    return isConnectedLocked(deviceName);
}

bool BLEPrinterManager::isConnectedLocked(const std::string& name) const {
    const auto peripheral = connectedPeripheral(name);
    return peripheral && peripheral->state() == ble::PeripheralState::connected;
}

bool BLEPrinterManager::reConnect(const std::optional<std::string>& deviceName) {
    if (!deviceName) {
        log("打印机name为空，无法连接。");
        return false;
    }
    std::lock_guard lock(mutex_);
    const auto peripheral = connectedPeripheral(*deviceName);
    if (!peripheral) {
        log("打印机外设为空，无法连接。");
        return false;
    }
    if (peripheral->state() == ble::PeripheralState::connected) {
        log("打印机已经连接。");
        return true;
    }
    log("打印机再次连接。");
    connectLocked(peripheral);
    return true;
}

void BLEPrinterManager::stopConnect() {
    std::lock_guard lock(mutex_);
    stopConnectLocked();
}

void BLEPrinterManager::stopConnectLocked() {
    if (!printerPeripheral_) return;
    if (centralManager_) centralManager_->cancelConnection(printerPeripheral_);
    std::erase(connecting_, printerPeripheral_);
    printerPeripheral_.reset();
    if (deviceName_) {
        log("stop connect " + *deviceName_);
        connectedDevices_.erase(*deviceName_);
    }
}

void BLEPrinterManager::stopConnect(const std::string& name) {
    std::lock_guard lock(mutex_);
    log("stop connect " + name);
    if (!printerPeripheral_) {
        log("stop connect error ,, printerPeripheral is null");
        return;
    }
    bool matched = false;
    const auto snapshot = discoveredDevices_;
    for (const auto& peripheral : snapshot) {
        const std::optional<std::string> peripheralName = peripheral->name();
        log("check stop discoveredDevice " + peripheralName.value_or(""));
        if (peripheralName != name) continue;
        matched = true;
        if (centralManager_) centralManager_->cancelConnection(peripheral);
        std::erase(connecting_, peripheral);
        std::erase(discoveredDevices_, peripheral);
    }
    if (!matched) {
        log("printerPeripheral not in discover devices, disconnect now");
        // Cancelling printerPeripheral whatever its name would drop another printer's link
        // and keep this one: cancel the printer stored under the name when there is one.
        if (auto stored = connectedPeripheral(name); stored && stored != printerPeripheral_) {
            if (centralManager_) centralManager_->cancelConnection(stored);
        } else {
            stopConnectLocked();
        }
    }
    connectedDevices_.erase(name);
    deviceName_.reset();
}

void BLEPrinterManager::setCallback(CharacteristicFoundCallback callback) {
    std::lock_guard lock(mutex_);
    characteristicFoundCallback_ = std::move(callback);
}

void BLEPrinterManager::setErrorComplete(ErrorCallback callback) {
    std::lock_guard lock(mutex_);
    errorComplete_ = std::move(callback);
}

void BLEPrinterManager::setJobEndCallback(JobEndCallback callback) {
    std::lock_guard lock(mutex_);
    jobEndCallback_ = std::move(callback);
}

void BLEPrinterManager::setWantedPrinter(WantedPrinter wanted) {
    std::lock_guard lock(mutex_);
    wantedPrinter_ = std::move(wanted);
}

std::optional<std::string> BLEPrinterManager::deviceName() const {
    std::lock_guard lock(mutex_);
    return deviceName_;
}

void BLEPrinterManager::setDeviceName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    deviceName_ = std::move(name);
}

std::shared_ptr<ble::Peripheral> BLEPrinterManager::printerPeripheral() const {
    std::lock_guard lock(mutex_);
    return printerPeripheral_;
}

bool BLEPrinterManager::isScanning() const {
    std::lock_guard lock(mutex_);
    return isScanning_;
}

std::vector<std::string> BLEPrinterManager::discoveredDeviceNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& peripheral : discoveredDevices_) names.push_back(peripheral->name().value_or(""));
    return names;
}

std::vector<std::string> BLEPrinterManager::connectedDeviceNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [name, peripheral] : connectedDevices_) names.push_back(name);
    return names;
}

}  // namespace quorvel
