// One virtual printer as the Bluetooth service shows it: an org.bluez.Device1 object that
// discovery brings, connections with their delays and failures, and the GATT objects of a
// connected printer, all driving a VirtualPrinter whose output lands in its folder.
#pragma once

#include "ble/BleTypes.h"
#include "ble/bluez/fake/BusContext.h"
#include "ble/bluez/fake/ExportedProperties.h"
#include "ble/bluez/fake/FakeBluezOptions.h"
#include "ble/bluez/fake/PrinterGattTree.h"
#include "ble/bluez/fake/PrinterPace.h"
#include "ble/sim/PrinterOutput.h"
#include "ble/sim/VirtualPrinter.h"

#include <asio.hpp>
#include <sdbus-c++/IObject.h>
#include <sdbus-c++/MethodResult.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ble::bluez::fake {

class FakeAdapter;

class FakeDevice : public std::enable_shared_from_this<FakeDevice> {
public:
    FakeDevice(asio::io_context& io, const FakeBluezOptions& options, std::string name, std::string address,
               std::unique_ptr<sim::PrinterOutput> output, LogFunction log, const FakeAdapter& adapter);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    // The service's bus came: a device known before is in the tree again, without a signal.
    void attach(const BusContext& bus);
    // The service goes: the link ends and every object is dropped, silently.
    void detach();

    // From the adapter.
    void advertise(std::int16_t rssi);  // discovery saw it: InterfacesAdded the first time, then RSSI
    void discoveryEnded();              // its RSSI is no longer known
    void powerOff();                    // the link ends, a pending connection fails
    void remove();                      // RemoveDevice: the object goes; discovery may find it again
    void clientLeft(const std::string& busName);

    // Test controls.
    void setInRange(bool inRange);
    void dropLink(const std::string& why = "the link was lost");
    void failNextConnection() { ++failuresToCome_; }
    void setGrantingCredits(bool granting) { printer_->setGrantingCredits(granting); }
    void setRate(std::uint64_t bytesPerSecond) { pace_.setRate(bytesPerSecond); }

    const std::string& name() const { return name_; }
    const std::string& path() const { return path_; }
    bool known() const { return known_; }
    // Printers advertise while in range and not connected.
    bool advertising() const { return inRange_ && !connected_; }

private:
    PropertyMap properties() const;
    void exportObject();
    void reshape();  // the set of properties changed: the object is made anew, silently
    void changed(const PropertyMap& properties, const std::vector<std::string>& invalidated = {});
    void connect(sdbus::Result<>&& result);
    void disconnect();
    void armConnection(std::chrono::milliseconds delay);
    void connectionDue();
    void establishLink();
    void failPending(const std::string& why);
    // Ends the link (and a pending connection). `announce`: the clients are told.
    void endLink(const std::string& why, bool announce);
    PrinterGattEvents gattEvents();
    bool written(const Uuid& characteristic, const Bytes& value);
    void deliver(const Uuid& characteristic, Bytes value);
    void showName();
    void log(const std::string& line) const;

    asio::io_context& io_;
    const FakeBluezOptions& options_;
    const std::string name_;
    const std::string address_;
    const std::string path_;
    const bool lateName_;
    LogFunction log_;
    const FakeAdapter& adapter_;
    std::unique_ptr<sim::PrinterOutput> output_;
    std::unique_ptr<sim::VirtualPrinter> printer_;
    PrinterPace pace_;

    const BusContext* bus_ = nullptr;
    bool known_ = false;  // in the tree (kept across a restart of the service)
    bool nameShown_;
    std::optional<std::int16_t> rssi_;
    bool inRange_ = true;
    bool connected_ = false;
    int failuresToCome_ = 0;
    std::uint64_t linkGeneration_ = 0;  // notifications of an ended link are dropped
    std::uint64_t oversizedLogged_ = 0;
    std::optional<sdbus::Result<>> pendingConnect_;
    bool pendingFails_ = false;  // the connection under way was asked to fail
    std::chrono::steady_clock::time_point connectDeadline_{};  // a printer out of range is given up then
    asio::steady_timer connectTimer_;
    asio::steady_timer nameTimer_;
    std::unique_ptr<PrinterGattTree> gatt_;
    std::unique_ptr<sdbus::IObject> object_;  // null while not in the tree
};

}  // namespace ble::bluez::fake
