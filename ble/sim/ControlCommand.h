// One line of the simulated radio's control channel, parsed: what a test does to a printer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ble::sim {

// The lines, one command each (NAME may hold spaces; blanks around it are dropped):
//   leave NAME    the printer goes out of range
//   return NAME   it comes back in range
//   drop NAME     its link ends now, with an error
//   rate NAME N   it consumes N bytes per second from now on (0: at once)
//   fail NAME     its next connection attempt fails
//   credits stop NAME     it grants no more credits
//   credits resume NAME   it grants again, its free slots at once
// and for the radio itself (no printer named):
//   power off     the radio is switched off: every link ends, a scan stops
//   power on      it is switched on again
//   restart       the Bluetooth service restarts (a radio that has no such service logs it)
// A test that writes garbage to the control FIFO gets this many lines about it, then one more.
inline constexpr std::uint64_t kMaxControlComplaints = 20;
// A bad control line as a radio logs it: its first 80 bytes, unprintable ones masked, quoted.
std::string quoted(const std::string& line);

struct ControlCommand {
    enum class Verb { leave, comeBack, drop, rate, failNextConnection, stopCredits, resumeCredits, powerOff, powerOn, restart };

    Verb verb = Verb::leave;
    std::string printer;  // empty for the radio's own verbs
    std::uint64_t bytesPerSecond = 0;  // rate only

    // True for the verbs that act on the radio rather than on one printer.
    bool forRadio() const { return verb == Verb::powerOff || verb == Verb::powerOn || verb == Verb::restart; }

    // The command a line holds (without its "\n"; a "\r" before it is allowed), or empty with
    // `why` set to a short reason. No I/O.
    static std::optional<ControlCommand> parse(std::string_view line, std::string& why);
};

}  // namespace ble::sim
