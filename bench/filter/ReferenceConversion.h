// Plain reference implementations of the page conversions, written straight from their
// description: the baseline of the conversion benchmarks and the oracle of the unit tests.
#pragma once

#include <cstdint>
#include <vector>

namespace reference {

enum class Method { FloydSteinberg, Sierra3, Threshold };

// Bilinear scaling, one pixel at a time: source position in floats, four neighbours, sum.
std::vector<std::uint8_t> resizeImage(const std::uint8_t* src, int srcWidth, int srcHeight, int dstWidth,
                                      int dstHeight);

// 0/255 samples from one-channel samples: a full-page int32 error buffer and one division
// per share for the diffusion methods.
std::vector<std::uint8_t> convert(Method method, const std::uint8_t* samples, int width, int height);

// Packs 0/255 samples, MSB first, a 1 bit for each sample below 128.
std::vector<std::uint8_t> pack(const std::vector<std::uint8_t>& samples, int width, int height);

// convert, then pack: the two passes the optimised conversion fuses.
std::vector<std::uint8_t> convertAndPack(Method method, const std::uint8_t* samples, int width, int height);

}  // namespace reference
