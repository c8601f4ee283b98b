// Ending the process from any thread: flush the standard streams, then exit at once without
// running static destructors (other threads may be blocked in FIFO opens and reads).
#pragma once

#include <cstdio>
#include <cstdlib>

namespace pb {

[[noreturn]] inline void exitProcess(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

}  // namespace pb
