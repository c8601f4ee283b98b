// Fuzz target: control lines never crash the parser, and a command it takes reads back the same
// when written out again.
#include "ble/sim/ControlCommand.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using ble::sim::ControlCommand;

static void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_sim_control: %s\n", what);
        std::abort();
    }
}

static std::string written(const ControlCommand& command)
{
    switch (command.verb) {
    case ControlCommand::Verb::leave: return "leave " + command.printer;
    case ControlCommand::Verb::comeBack: return "return " + command.printer;
    case ControlCommand::Verb::drop: return "drop " + command.printer;
    case ControlCommand::Verb::rate: return "rate " + command.printer + " " + std::to_string(command.bytesPerSecond);
    case ControlCommand::Verb::failNextConnection: return "fail " + command.printer;
    case ControlCommand::Verb::stopCredits: return "credits stop " + command.printer;
    case ControlCommand::Verb::resumeCredits: return "credits resume " + command.printer;
    case ControlCommand::Verb::powerOff: return "power off";
    case ControlCommand::Verb::powerOn: return "power on";
    case ControlCommand::Verb::restart: return "restart";
    }
    return {};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // One line per "\n", as the channel cuts them.
    while (!input.empty()) {
        const auto newline = input.find('\n');
        const std::string_view line = input.substr(0, newline);
        input = newline == std::string_view::npos ? std::string_view{} : input.substr(newline + 1);
        std::string why;
        const auto command = ControlCommand::parse(line, why);
        require(command.has_value() == why.empty(), "a refusal without a reason, or a reason for a command");
        if (!command)
            continue;
        require(command->printer.empty() == command->forRadio(), "a printer's command without a printer, or a radio's with one");
        require(command->printer.empty() || (command->printer.find_first_of(" \t\r", 0) != 0 &&
                                             command->printer.find_last_of(" \t\r") != command->printer.size() - 1),
                "a printer name with blanks around it");
        std::string again;
        const auto reread = ControlCommand::parse(written(*command), again);
        require(reread && reread->verb == command->verb && reread->printer == command->printer &&
                    reread->bytesPerSecond == command->bytesPerSecond,
                "a command does not read back the same");
    }
    return 0;
}
