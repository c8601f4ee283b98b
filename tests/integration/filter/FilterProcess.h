// Starts a built filter (or any program) as CUPS would: chosen argv[0], bytes on standard input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace filtertest {

struct Process {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::vector<std::uint8_t> out;
    std::string err;
};

// Runs `program` with argv[0] = `name` and `args` after it, `stdinBytes` on standard input
// and only PELLBLUETOOTH_ROOT=`root` and PATH in the environment; waits for it to end.
Process runProgram(const char* program, const std::string& name, std::vector<std::string> args,
                   const std::vector<std::uint8_t>& stdinBytes, const std::string& root);

}  // namespace filtertest
