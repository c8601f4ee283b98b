#include "ble/bluez/GattPathOrder.h"

#include <charconv>

namespace ble::bluez {

std::optional<unsigned long> handleOfPath(std::string_view path, std::string_view kind) {
    const auto slash = path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (!last.starts_with(kind) || last.size() == kind.size()) return std::nullopt;
    const std::string_view digits = last.substr(kind.size());
    unsigned long handle = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), handle, 16);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    return handle;
}

bool handleOrderLess(std::string_view left, std::string_view right, std::string_view kind) {
    const auto leftHandle = handleOfPath(left, kind);
    const auto rightHandle = handleOfPath(right, kind);
    if (leftHandle && rightHandle && *leftHandle != *rightHandle) return *leftHandle < *rightHandle;
    if (leftHandle.has_value() != rightHandle.has_value()) return leftHandle.has_value();
    return left < right;
}

bool isBelowPath(std::string_view path, std::string_view ancestor) {
    if (ancestor.empty()) return false;  // no adapter: nothing belongs to it
    return path.size() > ancestor.size() + 1 && path.starts_with(ancestor) && path[ancestor.size()] == '/';
}

bool isChildPath(std::string_view path, std::string_view parent) {
    return isBelowPath(path, parent) && path.find('/', parent.size() + 1) == std::string_view::npos;
}

}  // namespace ble::bluez
