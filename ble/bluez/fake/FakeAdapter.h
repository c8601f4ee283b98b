// The adapter org.bluez.Adapter1 at /org/bluez/hci0: power, discovery and the devices it
// found, one per virtual printer.
#pragma once

#include "ble/BleTypes.h"
#include "ble/bluez/fake/BusContext.h"
#include "ble/bluez/fake/ExportedProperties.h"
#include "ble/bluez/fake/FakeBluezOptions.h"
#include "ble/bluez/fake/FakeDevice.h"

#include <asio.hpp>
#include <sdbus-c++/IObject.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ble::bluez::fake {

class FakeAdapter {
public:
    // `options` must outlive the adapter.
    FakeAdapter(asio::io_context& io, const FakeBluezOptions& options, LogFunction log);
    ~FakeAdapter();
    FakeAdapter(const FakeAdapter&) = delete;
    FakeAdapter& operator=(const FakeAdapter&) = delete;

    // The service's bus came: the adapter and the devices known before are exported.
    void attach(const BusContext& bus);
    // The service goes: discovery and every link end, every object is dropped, silently.
    void detach();

    void setPowered(bool on);
    // A client left the bus: its discovery session and notification sessions end.
    void clientLeft(const std::string& busName);
    // Null when no printer has that name.
    std::shared_ptr<FakeDevice> device(const std::string& name) const;

    bool powered() const { return powered_; }
    bool discovering() const { return !discoveryClients_.empty(); }

private:
    PropertyMap properties() const;
    std::string sender() const;
    void startDiscovery();
    void stopDiscovery();
    void endDiscovery();
    void setDiscoveryFilter(const std::map<std::string, sdbus::Variant>& filter);
    void removeDevice(const sdbus::ObjectPath& path);
    void advertiseRound();
    void changed(const PropertyMap& properties);
    void log(const std::string& line) const;

    asio::io_context& io_;
    const FakeBluezOptions& options_;
    LogFunction log_;
    std::vector<std::shared_ptr<FakeDevice>> devices_;
    std::set<std::string> discoveryClients_;  // bus names that called StartDiscovery
    bool powered_ = true;
    std::uint64_t rounds_ = 0;
    asio::steady_timer advertisingTimer_;
    const BusContext* bus_ = nullptr;
    std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace ble::bluez::fake
