// The simulated radio's scanning, connections, power state and test controls.
#include "ble/sim/SimulatedCentral.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace ble::sim {

namespace {

// Why printers cannot print into `folder` (made when missing), or empty when they can.
std::string unusableFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) return error.message();
    if (!std::filesystem::is_directory(folder, error)) return "not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return std::generic_category().message(errno);
    return {};
}

}  // namespace

SimulatedCentral::SimulatedCentral(asio::io_context& mainQueue, SimulatedRadioSettings settings)
    : Central(mainQueue, CentralState::unknown), settings_(std::move(settings)), advertisingTimer_(mainQueue) {
    if (!settings_.outputFolder.empty()) {
        if (const std::string why = unusableFolder(settings_.outputFolder); !why.empty()) {
            if (settings_.log)
                settings_.log("Simulated radio: the output folder " + settings_.outputFolder.string() +
                              " cannot be used (" + why + "); the virtual printers keep no output");
            settings_.outputFolder.clear();
        }
    }
    for (const SimulatedPrinter& printer : settings_.printers) devices_.push_back(makePrinter(printer));
}

SimulatedCentral::~SimulatedCentral() { control_.reset(); }

std::shared_ptr<SimulatedCentral> SimulatedCentral::create(asio::io_context& mainQueue,
                                                           SimulatedRadioSettings settings) {
    auto central = std::make_shared<SimulatedCentral>(mainQueue, std::move(settings));
    for (const auto& device : central->devices_) central->attach(device);
    if (!central->settings_.controlFifo.empty()) central->openControlChannel();
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
    return std::make_shared<SimulatedPeripheral>(mainQueue(), printer.name, printer.settings, std::move(output),
                                                 settings_.log);
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
        if (device->state() != PeripheralState::disconnected || !device->inRange()) continue;
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
    // A cancel or a power-off in between has already ended the attempt; out of range, it
    // waits for the device to come back.
    if (device->state() != PeripheralState::connecting || !device->inRange()) return;
    device->completeConnection();
    post([device](SimulatedCentral& c) {
        if (auto delegate = c.delegate()) delegate->didConnect(c, device);
    });
    device->linkEstablished();
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
        if (auto device = c.device(name)) c.loseLink(device);
    });
}

void SimulatedCentral::loseLink(const std::shared_ptr<SimulatedPeripheral>& device) {
    if (device->state() == PeripheralState::connected) endLink(device, BleError{"the link was lost"});
}

void SimulatedCentral::setInRange(const std::string& name, bool inRange) {
    post([name, inRange](SimulatedCentral& c) {
        if (auto device = c.device(name)) return c.changeRange(device, inRange);
        c.log("simulated radio: no device named \"" + name + "\"");
    });
}

void SimulatedCentral::changeRange(const std::shared_ptr<SimulatedPeripheral>& device, bool inRange) {
    device->setInRange(inRange);
    if (!inRange && device->state() == PeripheralState::connected)
        endLink(device, BleError{"the printer went out of range"});
    if (inRange && device->state() == PeripheralState::connecting) finishConnecting(device);
}

void SimulatedCentral::setRate(const std::string& name, std::uint64_t bytesPerSecond) {
    withDevice(name, [bytesPerSecond](SimulatedPeripheral& d) { d.setRate(bytesPerSecond); });
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

// The channel's thread only posts: every command takes effect on the main queue, in order.
void SimulatedCentral::openControlChannel() {
    auto onMainQueue = [&io = mainQueue(), weak = weak_from_this()](auto work) {
        asio::post(io, [weak, work = std::move(work)] {
            if (auto central = weak.lock()) work(static_cast<SimulatedCentral&>(*central));
        });
    };
    control_ = std::make_unique<ControlChannel>(
        settings_.controlFifo.string(),
        [onMainQueue](std::string line) {
            onMainQueue([line = std::move(line)](SimulatedCentral& c) { c.applyControlLine(line); });
        },
        [onMainQueue](std::string problem) {
            onMainQueue([problem = std::move(problem)](SimulatedCentral& c) { c.complainAboutControl(problem); });
        });
}

void SimulatedCentral::applyControlLine(const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;  // a blank line asks nothing
    std::string why;
    const auto command = ControlCommand::parse(line, why);
    if (!command) return complainAboutControl("control line " + quoted(line) + " ignored: " + why);
    if (command->forRadio()) return applyToRadio(*command);
    const auto found = device(command->printer);
    if (!found) return complainAboutControl("control line " + quoted(line) + " ignored: no device of that name");
    apply(*command, found);
}

void SimulatedCentral::apply(const ControlCommand& command, const std::shared_ptr<SimulatedPeripheral>& device) {
    switch (command.verb) {
    case ControlCommand::Verb::leave: return changeRange(device, false);
    case ControlCommand::Verb::comeBack: return changeRange(device, true);
    case ControlCommand::Verb::drop: return loseLink(device);
    case ControlCommand::Verb::rate: return device->setRate(command.bytesPerSecond);
    case ControlCommand::Verb::failNextConnection: return device->failConnections(1);
    case ControlCommand::Verb::stopCredits:
    case ControlCommand::Verb::resumeCredits:
        if (device->printer()) device->printer()->setGrantingCredits(command.verb == ControlCommand::Verb::resumeCredits);
        return;
    case ControlCommand::Verb::powerOff:
    case ControlCommand::Verb::powerOn:
    case ControlCommand::Verb::restart: return applyToRadio(command);
    }
}

void SimulatedCentral::applyToRadio(const ControlCommand& command) {
    switch (command.verb) {
    case ControlCommand::Verb::powerOff: return setPowered(false);
    case ControlCommand::Verb::powerOn: return setPowered(true);
    default: return log("simulated radio: \"restart\" is not supported (there is no Bluetooth service to restart)");
    }
}

void SimulatedCentral::complainAboutControl(const std::string& problem) {
    if (controlComplaints_ > kMaxControlComplaints) return;
    if (++controlComplaints_ > kMaxControlComplaints)
        return log("simulated radio: further control channel troubles are not logged");
    log("simulated radio: " + problem);
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
