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
struct ControlCommand {
    enum class Verb { leave, comeBack, drop, rate };

    Verb verb = Verb::leave;
    std::string printer;
    std::uint64_t bytesPerSecond = 0;  // rate only

    // The command a line holds (without its "\n"; a "\r" before it is allowed), or empty with
    // `why` set to a short reason. No I/O.
    static std::optional<ControlCommand> parse(std::string_view line, std::string& why);
};

}  // namespace ble::sim
