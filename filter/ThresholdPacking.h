// The threshold fused with 1-bit packing, in one pass, with the widest instructions at hand.
#pragma once

#include <cstddef>
#include <cstdint>

namespace filter {

// Instruction sets the fused threshold-and-pack can run on; every path writes the same bytes.
enum class PackingPath { Portable, Sse2, Avx2 };

// True when this build on this processor can run `path` (Portable always can).
bool packingPathAvailable(PackingPath path);
// The fastest available path, decided once per process.
PackingPath fastestPackingPath();

// Packs width x height samples (rows back to back) into (width + 7) / 8 bytes per row, leftmost
// pixel in the top bit, a 1 bit for each sample below 128, unused low bits 0. `path` must be
// available.
void thresholdAndPack(PackingPath path, const std::uint8_t* samples, std::size_t width, std::size_t height,
                      std::uint8_t* packed);

}  // namespace filter
