// The vellumar filter's job: CUPS raster in, the printer's command stream out.
#pragma once

#include <cstdio>

namespace filter {

// Runs one vellumar job as CUPS starts it: argv[0] the queue name, argv[5] (when argc is
// 6 or more) the options; the raster is read from `rasterFd` (not closed), the command
// stream written to `out` (flushed, not closed). Logs to the filter log under the root
// prefix. Returns the process exit status: 1 when the raster cannot be opened, else 0.
int runVellumar(int argc, char* argv[], int rasterFd, FILE* out);

}  // namespace filter
