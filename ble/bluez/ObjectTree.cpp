#include "ble/bluez/ObjectTree.h"

namespace ble::bluez {

void ObjectTree::replace(ManagedObjects objects) { objects_ = std::move(objects); }

void ObjectTree::addInterfaces(const std::string& path, Interfaces interfaces) {
    auto& known = objects_[sdbus::ObjectPath(path)];
    for (auto& [name, properties] : interfaces) known[name] = std::move(properties);
}

void ObjectTree::removeInterfaces(const std::string& path, const std::vector<std::string>& interfaces) {
    const auto it = objects_.find(sdbus::ObjectPath(path));
    if (it == objects_.end()) return;
    for (const std::string& name : interfaces) it->second.erase(name);
    if (it->second.empty()) objects_.erase(it);
}

bool ObjectTree::changeProperties(const std::string& path, const std::string& interface, const Properties& changed,
                                  const std::vector<std::string>& invalidated) {
    const auto object = objects_.find(sdbus::ObjectPath(path));
    if (object == objects_.end()) return false;
    const auto properties = object->second.find(interface);
    if (properties == object->second.end()) return false;
    for (const auto& [name, value] : changed) properties->second[name] = value;
    for (const std::string& name : invalidated) properties->second.erase(name);
    return true;
}

const Properties* ObjectTree::find(const std::string& path, const std::string& interface) const {
    const auto object = objects_.find(sdbus::ObjectPath(path));
    if (object == objects_.end()) return nullptr;
    const auto properties = object->second.find(interface);
    return properties == object->second.end() ? nullptr : &properties->second;
}

std::vector<std::string> ObjectTree::pathsWith(const std::string& interface) const {
    std::vector<std::string> paths;
    for (const auto& [path, interfaces] : objects_)
        if (interfaces.contains(interface)) paths.push_back(path);
    return paths;
}

}  // namespace ble::bluez
