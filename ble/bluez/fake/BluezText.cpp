// UUID, address and path spellings of the Bluetooth service.
#include "ble/bluez/fake/BluezText.h"

#include "ble/bluez/fake/BluezNames.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>

namespace ble::bluez::fake {

namespace {
constexpr const char* kBaseUuidTail = "-0000-1000-8000-00805f9b34fb";
}

std::string bluezUuidText(const Uuid& uuid) {
    std::string text = uuid.text();
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (text.size() == 4) return "0000" + text + kBaseUuidTail;
    if (text.size() == 8) return text + kBaseUuidTail;
    return text;
}

// FNV-1a over the name: the same printer keeps its address from run to run.
std::string addressForName(const std::string& name, unsigned salt) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 0x100000001b3ull;
    };
    for (unsigned char c : name) mix(c);
    for (int i = 0; i < 4; ++i) mix(static_cast<unsigned char>(salt >> (8 * i)));
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", unsigned(hash >> 40) & 0xFF,
                  unsigned(hash >> 32) & 0xFF, unsigned(hash >> 24) & 0xFF, unsigned(hash >> 16) & 0xFF,
                  unsigned(hash >> 8) & 0xFF, unsigned(hash) & 0xFF);
    return text;
}

std::string devicePath(const std::string& address) {
    std::string path = std::string(kAdapterPath) + "/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');
    return path;
}

}  // namespace ble::bluez::fake
