// Property tables from maps, and the Properties and ObjectManager signals.
#include "ble/bluez/fake/ExportedProperties.h"

#include "ble/bluez/fake/BluezNames.h"

#include <cstdint>
#include <stdexcept>

namespace ble::bluez::fake {

namespace {

constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";

template <typename T>
void registerTyped(sdbus::IObject& object, const std::string& interface, const std::string& name,
                   const PropertySource& source) {
    object.registerProperty(name).onInterface(interface).withGetter([source, name]() -> T {
        const PropertyMap now = source();
        const auto found = now.find(name);
        if (found == now.end()) throw sdbus::Error("org.freedesktop.DBus.Error.UnknownProperty", "No such property");
        return found->second.get<T>();
    });
}

}  // namespace

void registerProperties(sdbus::IObject& object, const std::string& interface, const PropertySource& source,
                        const std::map<std::string, BoolSetter>& setters) {
    for (const auto& [name, value] : source()) {
        if (const auto setter = setters.find(name); setter != setters.end()) {
            object.registerProperty(name)
                .onInterface(interface)
                .withGetter([source, name = name] { return source()[name].get<bool>(); })
                .withSetter([set = setter->second](const bool& on) { set(on); });
            continue;
        }
        const std::string type = value.peekValueType();
        if (type == "s") registerTyped<std::string>(object, interface, name, source);
        else if (type == "b") registerTyped<bool>(object, interface, name, source);
        else if (type == "n") registerTyped<std::int16_t>(object, interface, name, source);
        else if (type == "q") registerTyped<std::uint16_t>(object, interface, name, source);
        else if (type == "u") registerTyped<std::uint32_t>(object, interface, name, source);
        else if (type == "o") registerTyped<sdbus::ObjectPath>(object, interface, name, source);
        else if (type == "as") registerTyped<std::vector<std::string>>(object, interface, name, source);
        else if (type == "ao") registerTyped<std::vector<sdbus::ObjectPath>>(object, interface, name, source);
        else if (type == "ay") registerTyped<std::vector<std::uint8_t>>(object, interface, name, source);
        else throw std::logic_error("property " + name + " has a type the fake does not export: " + type);
    }
}

void emitPropertiesChanged(sdbus::IObject& object, const std::string& interface, const PropertyMap& changed,
                           const std::vector<std::string>& invalidated) {
    auto signal = object.createSignal(kPropertiesInterface, "PropertiesChanged");
    signal << interface << changed << invalidated;
    object.emitSignal(signal);
}

void emitInterfacesAdded(sdbus::IObject& manager, const std::string& path, const InterfaceMap& interfaces) {
    auto signal = manager.createSignal(kObjectManagerInterface, "InterfacesAdded");
    signal << sdbus::ObjectPath(path) << interfaces;
    manager.emitSignal(signal);
}

void emitInterfacesRemoved(sdbus::IObject& manager, const std::string& path, const std::vector<std::string>& interfaces) {
    auto signal = manager.createSignal(kObjectManagerInterface, "InterfacesRemoved");
    signal << sdbus::ObjectPath(path) << interfaces;
    manager.emitSignal(signal);
}

}  // namespace ble::bluez::fake
