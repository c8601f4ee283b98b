#include "ble/bluez/BluezError.h"

namespace ble::bluez {

namespace {

constexpr std::size_t kMaxQuoted = 160;

std::string printable(const std::string& text) {
    std::string result = text.substr(0, kMaxQuoted);
    for (char& c : result)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    if (text.size() > kMaxQuoted) result += "...";
    return result;
}

}  // namespace

std::string BusError::text() const {
    if (message.empty()) return printable(name);
    return printable(name) + ": " + printable(message);
}

bool BusError::meansInProgress() const {
    return name == "org.bluez.Error.InProgress" ||
           (name == "org.bluez.Error.Failed" && message.find("already in progress") != std::string::npos);
}

bool BusError::meansAlreadyConnected() const { return name == "org.bluez.Error.AlreadyConnected"; }

}  // namespace ble::bluez
