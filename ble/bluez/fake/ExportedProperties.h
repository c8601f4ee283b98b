// Properties kept as one map per interface: the same map serves Get/GetAll (through the
// object's table), InterfacesAdded and PropertiesChanged, so they never disagree. Signals are
// made by hand, so that properties may come and go (a name or a signal strength not known
// yet) and each signal carries exactly what changed.
#pragma once

#include <sdbus-c++/IObject.h>
#include <sdbus-c++/Types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ble::bluez::fake {

using PropertyMap = std::map<std::string, sdbus::Variant>;
using InterfaceMap = std::map<std::string, PropertyMap>;
using PropertySource = std::function<PropertyMap()>;
using BoolSetter = std::function<void(bool)>;

// Registers every property `source` holds now on `interface` (the object's shape: call it
// again on a fresh object when properties come or go); each getter reads `source` anew. The
// properties named in `setters` are writable booleans.
void registerProperties(sdbus::IObject& object, const std::string& interface, const PropertySource& source,
                        const std::map<std::string, BoolSetter>& setters = {});

void emitPropertiesChanged(sdbus::IObject& object, const std::string& interface, const PropertyMap& changed,
                           const std::vector<std::string>& invalidated = {});
// Sent by `manager` (the object manager at the root) for the object at `path`.
void emitInterfacesAdded(sdbus::IObject& manager, const std::string& path, const InterfaceMap& interfaces);
void emitInterfacesRemoved(sdbus::IObject& manager, const std::string& path, const std::vector<std::string>& interfaces);

}  // namespace ble::bluez::fake
