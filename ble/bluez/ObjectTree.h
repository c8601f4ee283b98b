// BlueZ's object tree as this process has last seen it: object path → interface → property.
// Kept current from GetManagedObjects, InterfacesAdded/Removed and PropertiesChanged.
#pragma once

#include <sdbus-c++/Error.h>
#include <sdbus-c++/Types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ble::bluez {

using Properties = std::map<std::string, sdbus::Variant>;
using Interfaces = std::map<std::string, Properties>;
using ManagedObjects = std::map<sdbus::ObjectPath, Interfaces>;

class ObjectTree {
public:
    void replace(ManagedObjects objects);
    void clear() { objects_.clear(); }
    void addInterfaces(const std::string& path, Interfaces interfaces);
    void removeInterfaces(const std::string& path, const std::vector<std::string>& interfaces);
    // False when the object or interface is unknown (the change is then dropped).
    bool changeProperties(const std::string& path, const std::string& interface, const Properties& changed,
                          const std::vector<std::string>& invalidated);

    const Properties* find(const std::string& path, const std::string& interface) const;
    // Paths of the objects that have `interface`, in path order.
    std::vector<std::string> pathsWith(const std::string& interface) const;

private:
    ManagedObjects objects_;
};

// A property's value when it is present and has type T; empty otherwise (a daemon may send
// any type under any name).
template <typename T>
std::optional<T> propertyOf(const Properties* properties, const std::string& name) {
    if (properties == nullptr) return std::nullopt;
    const auto it = properties->find(name);
    if (it == properties->end()) return std::nullopt;
    try {
        if (!it->second.containsValueOfType<T>()) return std::nullopt;
        return it->second.get<T>();
    } catch (const sdbus::Error&) {
        return std::nullopt;
    }
}

}  // namespace ble::bluez
