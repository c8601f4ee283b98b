// The tessoral filter's job: CUPS raster in, the printer's command stream out.
#pragma once

#include <cstdio>

namespace filter {

// The fixed page of the "T53" model, in pixels at 203 dpi, in points and in millimetres.
inline constexpr int kT53Width = 1638;
inline constexpr int kT53Height = 2237;
inline constexpr int kT53Dpi = 203;
inline constexpr int kT53WidthPoints = 581;
inline constexpr int kT53HeightPoints = 793;
inline constexpr int kT53WidthMm = 205;
inline constexpr int kT53HeightMm = 280;

// Runs one tessoral job as CUPS starts it (see runVellumar for the arguments). Returns the
// process exit status: 1 when the raster cannot be opened or a page buffer cannot be
// allocated, else 0.
int runTessoral(int argc, char* argv[], int rasterFd, FILE* out);

}  // namespace filter
