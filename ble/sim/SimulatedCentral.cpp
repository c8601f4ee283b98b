// The simulated radio's scanning, connections, power state and test controls.
#include "ble/sim/SimulatedCentral.h"

namespace ble::sim {

SimulatedCentral::SimulatedCentral(asio::io_context& mainQueue, SimulatedRadioSettings settings)
    : Central(mainQueue, CentralState::unknown), settings_(std::move(settings)), advertisingTimer_(mainQueue) {
    for (const SimulatedPrinter& printer : settings_.printers) devices_.push_back(makePrinter(printer));
}

SimulatedCentral::~SimulatedCentral() = default;

std::shared_ptr<SimulatedCentral> SimulatedCentral::create(asio::io_context& mainQueue,
                                                           SimulatedRadioSettings settings) {
    auto central = std::make_shared<SimulatedCentral>(mainQueue, std::move(settings));
    for (const auto& device : central->devices_) central->attach(device);
    central->post([](SimulatedCentral& c) {
        c.reportState(c.settings_.poweredOn ? CentralState::poweredOn : CentralState::poweredOff);
    });
    return central;
}

std::shared_ptr<SimulatedCentral> SimulatedCentral::self() {
    return std::static_pointer_cast<SimulatedCentral>(shared_from_this());
}

void SimulatedCentral::post(std::function<void(SimulatedCentral&)> work) {
    asio::post(mainQueue(), [weak = weak_from_this(), work = std::move(work)] {
        if (auto central = weak.lock()) work(static_cast<SimulatedCentral&>(*central));
    });
}

std::shared_ptr<SimulatedPeripheral> SimulatedCentral::makePrinter(const SimulatedPrinter& printer) {
    std::unique_ptr<PrinterOutput> output;
    if (!settings_.outputFolder.empty()) {
        // Two names that differ only in unsafe bytes must not share a folder.
        std::string folder = folderNameForPrinter(printer.name);
        for (int suffix = 2; !outputFolders_.insert(folder).second; ++suffix)
            folder = folderNameForPrinter(printer.name) + "-" + std::to_string(suffix);
        output = std::make_unique<PrinterOutput>(settings_.outputFolder / folder, settings_.log);
    }
    return std::make_shared<SimulatedPeripheral>(mainQueue(), printer.name, printer.settings, std::move(output));
}

// Done after construction: the handler holds the central weakly, as a device may outlive it.
void SimulatedCentral::attach(const std::shared_ptr<SimulatedPeripheral>& device) {
    device->setLinkLossHandler([weakCentral = weak_from_this(), weakDevice = std::weak_ptr(device)] {
        auto central = std::static_pointer_cast<SimulatedCentral>(weakCentral.lock());
        auto d = weakDevice.lock();
        if (central && d) central->endLink(d, BleError{"the printer dropped the link"});
    });
}

void SimulatedCentral::scanForPeripherals() {
    const std::uint64_t generation = ++scanGeneration_;
    scanning_.store(true);
    post([generation](SimulatedCentral& c) {
        if (generation != c.scanGeneration_.load()) return;
        if (c.state() != CentralState::poweredOn) {
            c.scanning_.store(false);
            c.log("simulated radio: scan ignored, the radio is not powered on");
            return;
        }
        c.advertisingTimer_.cancel();
        c.advertiseRound(generation);
    });
}

void SimulatedCentral::stopScan() {
    ++scanGeneration_;
    scanning_.store(false);
    post([](SimulatedCentral& c) { c.advertisingTimer_.cancel(); });
}

void SimulatedCentral::advertiseRound(std::uint64_t generation) {
    if (generation != scanGeneration_.load() || state() != CentralState::poweredOn) return;
    for (const auto& device : devices_) {
        if (device->state() != PeripheralState::disconnected) continue;
        post([device, generation](SimulatedCentral& c) {
            if (generation != c.scanGeneration_.load()) return;
            if (auto delegate = c.delegate()) delegate->didDiscoverPeripheral(c, device, c.settings_.rssi);
        });
    }
    advertisingTimer_.expires_after(settings_.advertisingInterval);
    advertisingTimer_.async_wait([weak = weak_from_this(), generation](const std::error_code& error) {
        auto central = std::static_pointer_cast<SimulatedCentral>(weak.lock());
        if (central && !error) central->advertiseRound(generation);
    });
}

void SimulatedCentral::connect(const std::shared_ptr<Peripheral>& peripheral) {
    post([peripheral](SimulatedCentral& c) {
        if (auto device = c.ownDevice(peripheral)) return c.onConnect(device);
        c.log("simulated radio: connect ignored, the peripheral is not one of this radio's");
    });
}

void SimulatedCentral::onConnect(const std::shared_ptr<SimulatedPeripheral>& device) {
    auto deliverFailure = [this, device](std::string why) {
        post([device, why](SimulatedCentral& c) {
            if (auto delegate = c.delegate()) delegate->didFailToConnect(c, device, BleError{why});
        });
    };
    if (state() != CentralState::poweredOn) return deliverFailure("Bluetooth is not powered on");
    if (device->state() == PeripheralState::connecting) return;
    if (device->state() == PeripheralState::connected) {
        post([device](SimulatedCentral& c) {
            if (auto delegate = c.delegate()) delegate->didConnect(c, device);
        });
        return;
    }
    if (device->takeConnectionFailure()) return deliverFailure("the connection attempt failed");
    device->beginConnecting();
    if (settings_.connectionLatency.count() == 0) {
        post([device](SimulatedCentral& c) { c.finishConnecting(device); });
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(mainQueue(), settings_.connectionLatency);
    timer->async_wait([weak = weak_from_this(), device, timer](const std::error_code&) {
        if (auto central = std::static_pointer_cast<SimulatedCentral>(weak.lock())) central->finishConnecting(device);
    });
}

void SimulatedCentral::finishConnecting(const std::shared_ptr<SimulatedPeripheral>& device) {
    // A cancel or a power-off in between has already ended the attempt.
    if (device->state() != PeripheralState::connecting) return;
    device->completeConnection();
    post([device](SimulatedCentral& c) {
        if (auto delegate = c.delegate()) delegate->didConnect(c, device);
    });
}

void SimulatedCentral::cancelConnection(const std::shared_ptr<Peripheral>& peripheral) {
    post([peripheral](SimulatedCentral& c) {
        auto device = c.ownDevice(peripheral);
        if (device && (device->state() == PeripheralState::connected ||
                       device->state() == PeripheralState::connecting))
            c.endLink(device, std::nullopt);
    });
}

void SimulatedCentral::endLink(const std::shared_ptr<SimulatedPeripheral>& device, std::optional<BleError> error) {
    device->endLink();
    post([device, error = std::move(error)](SimulatedCentral& c) {
        if (auto delegate = c.delegate()) delegate->didDisconnect(c, device, error);
    });
}

void SimulatedCentral::setPowered(bool on) {
    post([on](SimulatedCentral& c) {
        if (on && c.state() != CentralState::poweredOn) c.reportState(CentralState::poweredOn);
        if (!on && c.state() != CentralState::poweredOff) c.powerOff();
    });
}

void SimulatedCentral::powerOff() {
    ++scanGeneration_;
    scanning_.store(false);
    advertisingTimer_.cancel();
    for (const auto& device : devices_) {
        if (device->state() == PeripheralState::connected || device->state() == PeripheralState::connecting)
            endLink(device, BleError{"Bluetooth was powered off"});
    }
    reportState(CentralState::poweredOff);
}

void SimulatedCentral::addPrinter(SimulatedPrinter printer) {
    post([printer = std::move(printer)](SimulatedCentral& c) {
        c.devices_.push_back(c.makePrinter(printer));
        c.attach(c.devices_.back());
    });
}

void SimulatedCentral::addAdvertiser(std::optional<std::string> name) {
    post([name = std::move(name)](SimulatedCentral& c) {
        c.devices_.push_back(std::make_shared<SimulatedPeripheral>(c.mainQueue(), name));
    });
}

void SimulatedCentral::withDevice(const std::string& name, std::function<void(SimulatedPeripheral&)> work) {
    post([name, work = std::move(work)](SimulatedCentral& c) {
        if (auto device = c.device(name)) return work(*device);
        c.log("simulated radio: no device named \"" + name + "\"");
    });
}

void SimulatedCentral::dropLink(const std::string& name) {
    post([name](SimulatedCentral& c) {
        auto device = c.device(name);
        if (device && device->state() == PeripheralState::connected)
            c.endLink(device, BleError{"the link was lost"});
    });
}

void SimulatedCentral::failNextConnection(const std::string& name) {
    withDevice(name, [](SimulatedPeripheral& d) { d.failConnections(1); });
}

void SimulatedCentral::setGrantingCredits(const std::string& name, bool granting) {
    withDevice(name, [granting](SimulatedPeripheral& d) {
        if (d.printer()) d.printer()->setGrantingCredits(granting);
    });
}

void SimulatedCentral::setMtu(const std::string& name, std::uint16_t mtu) {
    withDevice(name, [mtu](SimulatedPeripheral& d) {
        if (d.printer()) d.printer()->setMtu(mtu);
    });
}

void SimulatedCentral::reportStatus(const std::string& name, std::uint8_t status) {
    withDevice(name, [status](SimulatedPeripheral& d) {
        if (d.printer()) d.printer()->reportStatus(status);
    });
}

void SimulatedCentral::reportError(const std::string& name, const std::string& text) {
    withDevice(name, [text](SimulatedPeripheral& d) {
        if (d.printer()) d.printer()->reportError(text);
    });
}

void SimulatedCentral::notify(const std::string& name, const Uuid& characteristic, Bytes value) {
    withDevice(name, [characteristic, value = std::move(value)](SimulatedPeripheral& d) mutable {
        d.report(characteristic, std::move(value));
    });
}

std::shared_ptr<SimulatedPeripheral> SimulatedCentral::device(const std::string& name) const {
    for (const auto& device : devices_)
        if (device->name() == name) return device;
    return nullptr;
}

std::optional<PrinterStats> SimulatedCentral::printerStats(const std::string& name) const {
    auto found = device(name);
    if (!found || !found->printer()) return std::nullopt;
    return found->printer()->stats();
}

// Identity, not name: only the objects this radio created are its devices.
std::shared_ptr<SimulatedPeripheral> SimulatedCentral::ownDevice(const std::shared_ptr<Peripheral>& peripheral) const {
    for (const auto& device : devices_)
        if (device == peripheral) return device;
    return nullptr;
}

void SimulatedCentral::log(const std::string& line) const {
    if (settings_.log) settings_.log(line);
}

}  // namespace ble::sim
