// Fixed absolute paths of the suite, moved under PELLBLUETOOTH_ROOT when that is set.
#pragma once

#include <string>
#include <string_view>

namespace pb {

// The environment variable whose value prefixes every fixed path (tests and the demo run
// in a temporary root this way). Unset or empty, paths are used exactly as given.
inline constexpr const char* kRootVariable = "PELLBLUETOOTH_ROOT";

// Returns `absolutePath` under the root prefix. `absolutePath` must begin with '/'.
// The prefix is read on every call, so a test may change it between calls.
std::string rootedPath(std::string_view absolutePath);

}  // namespace pb
