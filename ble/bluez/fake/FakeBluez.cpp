// The service's runs on the bus, its restarts and its control commands.
#include "ble/bluez/fake/FakeBluez.h"

#include "ble/bluez/fake/BluezNames.h"

namespace ble::bluez::fake {

using sim::kMaxControlComplaints;
using sim::quoted;

FakeBluez::FakeBluez(asio::io_context& io, FakeBluezOptions options, LogFunction log, std::function<void()> onServing)
    : io_(io),
      options_(std::move(options)),
      log_(std::move(log)),
      onServing_(std::move(onServing)),
      adapter_(io_, options_, log_),
      restartTimer_(io) {}

FakeBluez::~FakeBluez() {
    control_.reset();
    withdraw();
}

void FakeBluez::start() {
    serve();
    if (options_.radio.simControl.empty()) return;
    control_ = std::make_unique<sim::ControlChannel>(
        options_.radio.simControl.string(),
        [this](std::string line) { asio::post(io_, [this, line = std::move(line)] { applyControlLine(line); }); },
        [this](std::string problem) { asio::post(io_, [this, problem = std::move(problem)] { log(problem); }); });
}

void FakeBluez::stop() {
    control_.reset();
    restartTimer_.cancel();
    withdraw();
}

// Objects first, the name last: whoever sees the name owned finds the whole tree.
void FakeBluez::serve() {
    loop_ = BusLoop::create(io_, sdbus::createSystemBusConnection());
    auto& connection = loop_->connection();
    root_ = sdbus::createObject(connection, "/");
    root_->addObjectManager();
    context_ = std::make_unique<BusContext>(BusContext{connection, *root_, *loop_, io_, log_});
    watchClients();
    adapter_.attach(*context_);
    connection.requestName(kBluezService);
    loop_->start();
    log("serving " + std::string(kBluezService) + " as " + connection.getUniqueName());
    if (onServing_) onServing_();
}

void FakeBluez::withdraw() {
    if (!loop_) return;
    adapter_.detach();
    clientWatch_.reset();
    context_.reset();
    root_.reset();
    try {
        loop_->connection().releaseName(kBluezService);
    } catch (const sdbus::Error& error) {
        log("releasing " + std::string(kBluezService) + " failed: " + error.getMessage());
    }
    loop_->stop();
    loop_.reset();
}

// A client that leaves the bus ends its discovery and notification sessions, as the real
// service watches its clients.
void FakeBluez::watchClients() {
    clientWatch_ = loop_->connection().addMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged'",
        [this](sdbus::Message& message) {
            std::string name, oldOwner, newOwner;
            try {
                message >> name >> oldOwner >> newOwner;
            } catch (const sdbus::Error& error) {
                return log("a malformed NameOwnerChanged was ignored: " + error.getMessage());
            }
            if (!name.empty() && name[0] == ':' && newOwner.empty()) adapter_.clientLeft(name);
        });
}

void FakeBluez::restart() {
    if (restarting_) return log("restart ignored: the service is restarting already");
    log("restarting: every link ends and " + std::string(kBluezService) + " goes away");
    restarting_ = true;
    withdraw();
    restartTimer_.expires_after(options_.restartPause);
    restartTimer_.async_wait([this](const std::error_code& error) {
        if (error) return;
        restarting_ = false;
        try {
            serve();
        } catch (const sdbus::Error& error) {
            log("the restarted service could not serve: " + error.getMessage());
            io_.stop();
        }
    });
}

void FakeBluez::applyControlLine(const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    std::string why;
    const auto command = sim::ControlCommand::parse(line, why);
    if (!command) {
        if (++controlComplaints_ <= kMaxControlComplaints) log("control line " + quoted(line) + " ignored: " + why);
        return;
    }
    log("control: " + quoted(line));
    switch (command->verb) {
    case sim::ControlCommand::Verb::restart: return restart();
    case sim::ControlCommand::Verb::powerOff:
    case sim::ControlCommand::Verb::powerOn:
        if (restarting_) return log("control line " + quoted(line) + " ignored: the service is restarting");
        return adapter_.setPowered(command->verb == sim::ControlCommand::Verb::powerOn);
    default: return applyToPrinter(*command);
    }
}

void FakeBluez::applyToPrinter(const sim::ControlCommand& command) {
    const auto device = adapter_.device(command.printer);
    if (!device) return log("control command for \"" + command.printer + "\" ignored: no printer of that name");
    using Verb = sim::ControlCommand::Verb;
    switch (command.verb) {
    case Verb::leave: device->setInRange(false); break;
    case Verb::comeBack: device->setInRange(true); break;
    case Verb::drop: device->dropLink(); break;
    case Verb::rate: device->setRate(command.bytesPerSecond); break;
    case Verb::failNextConnection: device->failNextConnection(); break;
    case Verb::stopCredits: device->setGrantingCredits(false); break;
    case Verb::resumeCredits: device->setGrantingCredits(true); break;
    case Verb::powerOff:
    case Verb::powerOn:
    case Verb::restart: break;
    }
    if (loop_) loop_->wake();
}

void FakeBluez::log(const std::string& line) const {
    if (log_) log_("fake bluez: " + line);
}

}  // namespace ble::bluez::fake
