// Connects to one printer through the Bluetooth service on the bus DBUS_SYSTEM_BUS_ADDRESS names
// and writes BYTES bytes to its data characteristic in WriteValue calls of WRITE bytes (type
// "command"), each once the last is answered. Prints "BYTES SECONDS" for the writes alone.
//   pb-bluez-write-rate NAME BYTES WRITE
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Objects = std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>>;
using Clock = std::chrono::steady_clock;

constexpr const char* kService = "org.bluez";
constexpr const char* kDataUuid = "0000fff2-0000-1000-8000-00805f9b34fb";
constexpr const char* kPrinterServiceUuid = "0000fff0-0000-1000-8000-00805f9b34fb";

Objects managedObjects(sdbus::IConnection& bus) {
    auto root = sdbus::createProxy(bus, kService, "/");
    Objects objects;
    root->callMethod("GetManagedObjects").onInterface("org.freedesktop.DBus.ObjectManager").storeResultsTo(objects);
    return objects;
}

template <typename T>
std::optional<T> property(const Objects& objects, const sdbus::ObjectPath& path, const std::string& interface,
                          const std::string& name) {
    const auto object = objects.find(path);
    if (object == objects.end()) return std::nullopt;
    const auto properties = object->second.find(interface);
    if (properties == object->second.end()) return std::nullopt;
    const auto value = properties->second.find(name);
    if (value == properties->second.end()) return std::nullopt;
    return value->second.get<T>();
}

// Polls the object tree until `find` names an object; empty after ten seconds.
template <typename Find>
std::optional<sdbus::ObjectPath> waitForObject(sdbus::IConnection& bus, Find find) {
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
        if (auto path = find(managedObjects(bus))) return path;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: pb-bluez-write-rate NAME BYTES WRITE\n");
        return 1;
    }
    const std::string name = argv[1];
    const std::size_t total = std::strtoul(argv[2], nullptr, 10), size = std::strtoul(argv[3], nullptr, 10);
    try {
        auto bus = sdbus::createSystemBusConnection();
        auto adapter = sdbus::createProxy(*bus, kService, "/org/bluez/hci0");
        adapter->callMethod("StartDiscovery").onInterface("org.bluez.Adapter1");
        const auto device = waitForObject(*bus, [&](const Objects& objects) -> std::optional<sdbus::ObjectPath> {
            for (const auto& [path, interfaces] : objects)
                if (property<std::string>(objects, path, "org.bluez.Device1", "Name") == name) return path;
            return std::nullopt;
        });
        adapter->callMethod("StopDiscovery").onInterface("org.bluez.Adapter1");
        if (!device) throw std::runtime_error(name + " was not found");
        auto deviceProxy = sdbus::createProxy(*bus, kService, *device);
        deviceProxy->callMethod("Connect").onInterface("org.bluez.Device1");
        const auto data = waitForObject(*bus, [&](const Objects& objects) -> std::optional<sdbus::ObjectPath> {
            for (const auto& [path, interfaces] : objects) {
                const auto service = property<sdbus::ObjectPath>(objects, path, "org.bluez.GattCharacteristic1", "Service");
                if (service && path.rfind(*device, 0) == 0 &&
                    property<std::string>(objects, path, "org.bluez.GattCharacteristic1", "UUID") == kDataUuid &&
                    property<std::string>(objects, *service, "org.bluez.GattService1", "UUID") == kPrinterServiceUuid)
                    return path;
            }
            return std::nullopt;
        });
        if (!data) throw std::runtime_error("no data characteristic on " + name);

        auto characteristic = sdbus::createProxy(*bus, kService, *data);
        const std::map<std::string, sdbus::Variant> options{{"type", sdbus::Variant(std::string("command"))}};
        std::vector<std::uint8_t> value(size);
        const auto start = Clock::now();
        for (std::size_t sent = 0; sent < total; sent += value.size()) {
            value.resize(std::min(size, total - sent));
            for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<std::uint8_t>(sent + i);
            characteristic->callMethod("WriteValue").onInterface("org.bluez.GattCharacteristic1").withArguments(value, options);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        deviceProxy->callMethod("Disconnect").onInterface("org.bluez.Device1");
        std::printf("%zu %.6f\n", total, seconds);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pb-bluez-write-rate: %s\n", error.what());
        return 1;
    }
}
