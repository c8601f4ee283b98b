// BlueZ names GATT objects after their attribute handle (".../service000c/char000d"): the
// helpers here order them by handle and tell which objects belong to which parent.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ble::bluez {

// The handle in the last element of `path` when that element is `kind` followed by hex
// digits ("char001a" with kind "char" → 0x1a); empty otherwise.
std::optional<unsigned long> handleOfPath(std::string_view path, std::string_view kind);

// Order of objects of one kind by handle; paths without a handle go last, by text.
bool handleOrderLess(std::string_view left, std::string_view right, std::string_view kind);

// Whether `path` is a direct child of `parent` ("/a/b" of "/a"; not "/a/b/c", nor "/ab").
bool isChildPath(std::string_view path, std::string_view parent);

// Whether `path` lies anywhere below `ancestor`.
bool isBelowPath(std::string_view path, std::string_view ancestor);

}  // namespace ble::bluez
