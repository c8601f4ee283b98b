// Fixed paths of the outside programs and log files that backend and agent use; each is
// resolved through rootedPath() so tests can put fakes under a temporary root.
#pragma once

namespace pb {

inline constexpr const char* kLpstatPath = "/usr/bin/lpstat";
inline constexpr const char* kLpadminPath = "/usr/sbin/lpadmin";
inline constexpr const char* kCupsenablePath = "/usr/sbin/cupsenable";
inline constexpr const char* kCupsdisablePath = "/usr/sbin/cupsdisable";

// Launched without arguments when no agent takes a command within the write time-out; it is
// expected to start the agent. Installed with the suite.
inline constexpr const char* kPostInstallPath = "/usr/lib/pellbluetooth/postInstall";

inline constexpr const char* kBackendLogPath = "/var/log/cups/pellbluetooth.log";
inline constexpr const char* kAgentLogPath = "/var/log/cups/pellbluetooth_backend.log";

// The places the backend may be installed in (Debian's and CUPS's default). These are compared
// with argv[0], never prefixed.
inline constexpr const char* kBackendInstallPaths[] = {
    "/usr/libexec/cups/backend/pellbluetooth",
    "/usr/lib/cups/backend/pellbluetooth",
};

// lpstat and its kin translate their output unless run in the C locale.
inline constexpr const char* kCLocaleOverride = "LC_ALL=C";

}  // namespace pb
