// Device objects, connections and the printer behind them.
#include "ble/bluez/fake/FakeDevice.h"

#include "ble/bluez/fake/BluezNames.h"
#include "ble/bluez/fake/BluezText.h"
#include "ble/bluez/fake/FakeAdapter.h"

#include <algorithm>

namespace ble::bluez::fake {

namespace {

// A stream of oversized writes would otherwise log one line per chunk.
constexpr std::uint64_t kMaxOversizedWriteLogLines = 10;

std::string dashed(std::string address) {
    std::replace(address.begin(), address.end(), ':', '-');
    return address;
}

}  // namespace

FakeDevice::FakeDevice(asio::io_context& io, const FakeBluezOptions& options, std::string name, std::string address,
                       std::unique_ptr<sim::PrinterOutput> output, LogFunction log, const FakeAdapter& adapter)
    : io_(io),
      options_(options),
      name_(std::move(name)),
      address_(std::move(address)),
      path_(devicePath(address_)),
      lateName_(options.lateNamesForAll || options.lateNames.count(name_) != 0),
      log_(std::move(log)),
      adapter_(adapter),
      output_(std::move(output)),
      printer_(std::make_unique<sim::VirtualPrinter>(
          options.radio.simPrinterSettings,
          [this](const Uuid& characteristic, Bytes value) { deliver(characteristic, std::move(value)); },
          [this](std::span<const std::uint8_t> bytes) {
              if (output_) output_->receive(bytes);
          })),
      pace_(io, *printer_),
      nameShown_(!lateName_),
      connectTimer_(io),
      nameTimer_(io) {}

FakeDevice::~FakeDevice() { detach(); }

PropertyMap FakeDevice::properties() const {
    PropertyMap map{
        {"Address", address_},
        {"AddressType", std::string("public")},
        {"Alias", nameShown_ ? name_ : dashed(address_)},
        {"Paired", false},
        {"Trusted", false},
        {"Blocked", false},
        {"LegacyPairing", false},
        {"Connected", connected_},
        {"ServicesResolved", connected_ && gatt_ != nullptr},
        {"UUIDs", std::vector<std::string>{}},
        {"Adapter", sdbus::ObjectPath(kAdapterPath)},
    };
    if (nameShown_) map.emplace("Name", name_);
    if (rssi_) map.emplace("RSSI", *rssi_);
    return map;
}

void FakeDevice::exportObject() {
    object_ = sdbus::createObject(bus_->connection, path_);
    registerProperties(*object_, kDeviceInterface, [this] { return properties(); });
    object_->registerMethod("Connect").onInterface(kDeviceInterface).implementedAs([this](sdbus::Result<>&& result) {
        connect(std::move(result));
    });
    object_->registerMethod("Disconnect").onInterface(kDeviceInterface).implementedAs([this] { disconnect(); });
    object_->finishRegistration();
}

// Never called from a method of this device's own object.
void FakeDevice::reshape() {
    if (!bus_ || !known_) return;
    object_.reset();
    exportObject();
}

void FakeDevice::changed(const PropertyMap& properties, const std::vector<std::string>& invalidated) {
    if (object_) emitPropertiesChanged(*object_, kDeviceInterface, properties, invalidated);
}

void FakeDevice::attach(const BusContext& bus) {
    bus_ = &bus;
    if (known_) exportObject();
    if (known_ && !nameShown_) showName();
}

void FakeDevice::detach() {
    endLink("the Bluetooth service stopped", false);
    nameTimer_.cancel();
    rssi_.reset();
    object_.reset();
    bus_ = nullptr;
}

void FakeDevice::advertise(std::int16_t rssi) {
    if (!bus_) return;
    const bool newShape = !rssi_;
    rssi_ = rssi;
    if (!known_) {
        known_ = true;
        exportObject();
        emitInterfacesAdded(bus_->manager, path_, {{kDeviceInterface, properties()}});
        if (!nameShown_) showName();
        return;
    }
    if (newShape) reshape();
    changed({{"RSSI", rssi}});
}

void FakeDevice::showName() {
    nameTimer_.expires_after(options_.lateNameDelay);
    nameTimer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        auto self = weak.lock();
        if (error || !self || !self->bus_ || !self->known_) return;
        self->nameShown_ = true;
        self->reshape();
        self->changed({{"Name", self->name_}, {"Alias", self->name_}});
        self->bus_->wake();
    });
}

void FakeDevice::discoveryEnded() {
    if (!rssi_) return;
    rssi_.reset();
    reshape();
    changed({}, {"RSSI"});
}

void FakeDevice::remove() {
    endLink("the device was removed", true);
    if (object_) emitInterfacesRemoved(bus_->manager, path_, {kDeviceInterface});
    object_.reset();
    known_ = false;
    rssi_.reset();
    nameShown_ = !lateName_;
    nameTimer_.cancel();
}

void FakeDevice::powerOff() { endLink("the adapter was powered off", true); }

void FakeDevice::clientLeft(const std::string& busName) {
    if (gatt_) gatt_->clientLeft(busName);
}

void FakeDevice::setInRange(bool inRange) {
    inRange_ = inRange;
    if (!inRange) return dropLink("the printer went out of range");
    // A connection waiting for the printer completes soon after it is back.
    if (pendingConnect_) armConnection(options_.connectDelay);
}

// A link that ends on the printer's side; a connection under way goes on.
void FakeDevice::dropLink(const std::string& why) {
    if (connected_) endLink(why, true);
}

// Checks in the order the service makes them: power, an existing link, a connection under
// way, then discovery, which aborts LE connections.
void FakeDevice::connect(sdbus::Result<>&& result) {
    if (!adapter_.powered()) return result.returnError(notReadyError());
    if (connected_) return result.returnResults();
    if (pendingConnect_) return result.returnError(inProgressError());
    if (adapter_.discovering()) {
        log("refused a connection while discovering");
        return result.returnError(failedError(kLocalAbort));
    }
    pendingConnect_ = std::move(result);
    connectDeadline_ = std::chrono::steady_clock::now() + options_.connectTimeout;
    pendingFails_ = failuresToCome_ > 0;
    if (pendingFails_) --failuresToCome_;
    armConnection(inRange_ || pendingFails_ ? options_.connectDelay : options_.connectTimeout);
}

void FakeDevice::armConnection(std::chrono::milliseconds delay) {
    connectTimer_.expires_after(delay);
    connectTimer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        auto self = weak.lock();
        if (!error && self) self->connectionDue();
    });
}

// An asked-for failure is the common one on the air: the link comes up and is aborted at
// once, so Connected flips to true and back before Connect fails.
void FakeDevice::connectionDue() {
    if (!pendingConnect_ || !bus_) return;
    if (pendingFails_) {
        changed({{"Connected", true}});
        changed({{"Connected", false}});
        failPending("the link was aborted as it came up (as asked)");
    } else if (!inRange_) {
        // It left while the connection was under way: the attempt waits out its time.
        const auto now = std::chrono::steady_clock::now();
        if (now < connectDeadline_)
            return armConnection(std::chrono::ceil<std::chrono::milliseconds>(connectDeadline_ - now));
        failPending("the printer did not answer (out of range)");
    } else {
        establishLink();
    }
    bus_->wake();
}

void FakeDevice::failPending(const std::string& why) {
    connectTimer_.cancel();
    if (!pendingConnect_) return;
    log("connection failed: " + why);
    pendingConnect_->returnError(failedError(kLocalAbort));
    pendingConnect_.reset();
}

// Connected first, then the services appear and are resolved; the caller's Connect returns
// last. A printer that restores its own subscription reports at once.
void FakeDevice::establishLink() {
    connected_ = true;
    ++linkGeneration_;
    changed({{"Connected", true}});
    const bool restored = options_.radio.simPrinterSettings.notifiesBeforeSubscribe;
    gatt_ = std::make_unique<PrinterGattTree>(*bus_, path_, options_.attMtu, gattEvents(), restored);
    gatt_->announce();
    changed({{"ServicesResolved", true}});
    pendingConnect_->returnResults();
    pendingConnect_.reset();
    log("connected");
    printer_->linkEstablished();
}

void FakeDevice::disconnect() {
    if (pendingConnect_) {
        failPending("cancelled by Disconnect");
        return;
    }
    if (!connected_) throw notConnectedError();
    endLink("the central disconnected", true);
}

void FakeDevice::endLink(const std::string& why, bool announce) {
    failPending(why);
    if (!connected_) return;
    connected_ = false;
    ++linkGeneration_;
    printer_->linkDropped();
    if (announce && bus_) {
        changed({{"ServicesResolved", false}});
        changed({{"Connected", false}});
        if (gatt_) gatt_->withdraw();
    }
    gatt_.reset();
    log("disconnected: " + why);
}

PrinterGattEvents FakeDevice::gattEvents() {
    return {
        .read = [this](const Uuid& characteristic) { return printer_->read(characteristic); },
        .write = [this](const Uuid& characteristic, const Bytes& value, bool) { return written(characteristic, value); },
        .notifyingChanged = [this](const Uuid& characteristic, bool on) { printer_->setNotifying(characteristic, on); },
    };
}

bool FakeDevice::written(const Uuid& characteristic, const Bytes& value) {
    if (characteristic == sim::PrinterGatt::command()) {
        printer_->commandWritten(value);
        return true;
    }
    if (characteristic != sim::PrinterGatt::data()) return true;
    if (!printer_->dataWritten(value)) {
        if (oversizedLogged_ < kMaxOversizedWriteLogLines)
            log("dropped a write of " + std::to_string(value.size()) + " bytes, longer than the link's " +
                std::to_string(options_.attMtu - kAttHeaderLength) +
                (++oversizedLogged_ == kMaxOversizedWriteLogLines ? " (further ones are not logged)" : ""));
        return false;
    }
    pace_.schedule();
    // The link cannot end inside a call on one of its own characteristics.
    if (printer_->takeLinkDropRequest())
        asio::post(io_, [weak = weak_from_this(), generation = linkGeneration_] {
            auto self = weak.lock();
            if (!self || self->linkGeneration_ != generation) return;
            self->dropLink("the printer dropped the link");
            if (self->bus_) self->bus_->wake();
        });
    return true;
}

// Reports go out after the reply of the call that caused them, and only on the link that
// made them.
void FakeDevice::deliver(const Uuid& characteristic, Bytes value) {
    asio::post(io_, [weak = weak_from_this(), generation = linkGeneration_, characteristic, value = std::move(value)] {
        auto self = weak.lock();
        if (!self || self->linkGeneration_ != generation || !self->gatt_) return;
        self->gatt_->notify(characteristic, value);
        self->bus_->wake();
    });
}

void FakeDevice::log(const std::string& line) const {
    if (log_) log_("fake bluez: " + name_ + ": " + line);
}

}  // namespace ble::bluez::fake
