// The black-and-white conversions as kernels writing packed rows or 0/255 samples; shared by
// the public conversion entries of ImageConversion.h.
#pragma once

#include "filter/ImageConversion.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace filter {

enum class ConversionMethod { FloydSteinberg, Sierra3, Threshold };

// Print mode 3: the variant's diffusion; 1 and 2: Floyd-Steinberg; any other value: threshold.
ConversionMethod conversionMethodFor(int printMode, FilterVariant variant);

// Converts width x height one-channel samples and packs them into `packed`, which must hold
// packedRowBytes(width) * height bytes. `errors` is scratch memory and only grows (it may throw
// std::bad_alloc). Width and height must be positive.
void convertAndPack(ConversionMethod method, const std::uint8_t* samples, int width, int height,
                    std::uint8_t* packed, std::vector<std::int32_t>& errors);

// Same conversion, writing width x height samples of 0 or 255 to `out`.
void convertToSamples(ConversionMethod method, const std::uint8_t* samples, int width, int height,
                      std::uint8_t* out, std::vector<std::int32_t>& errors);

}  // namespace filter
