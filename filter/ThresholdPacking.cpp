// The threshold fused with 1-bit packing: a portable form, SSE2 (every x86-64) and AVX2.
#include "filter/ThresholdPacking.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define PB_PACKING_AVX2 1
#endif

namespace filter {

namespace {

constexpr unsigned kBlackBelow = 128;

// Eight samples at once: bit 7 of each byte is clear exactly when the sample is below 128;
// the multiplication gathers those bits, first sample in the top bit, without carries (each
// product bit lands on a distinct position).
std::uint8_t packEight(const std::uint8_t* samples)
{
    constexpr std::uint64_t kLowBits = 0x0101010101010101ull;
    constexpr std::uint64_t kGather = 0x8040201008040201ull;
    std::uint64_t word;
    std::memcpy(&word, samples, sizeof word);
    const std::uint64_t flags = (~word >> 7) & kLowBits;
    return static_cast<std::uint8_t>((flags * kGather) >> 56);
}

// From `x` to the end of the row, eight samples a byte and a last partial byte.
void packRest(const std::uint8_t* row, std::size_t x, std::size_t width, std::uint8_t* out)
{
    for (; x + 8 <= width; x += 8)
        *out++ = packEight(row + x);
    if (x == width)
        return;
    unsigned bits = 0;
    for (unsigned i = 0; x + i < width; ++i)
        bits |= static_cast<unsigned>(row[x + i] < kBlackBelow) << (7 - i);
    *out = static_cast<std::uint8_t>(bits);
}

#if defined(__SSE2__)
// Reverses the bits within each byte: movemask puts a row's first pixel in the low bit, the
// printer wants it in the top bit.
std::uint64_t reverseBitsInBytes(std::uint64_t word)
{
    word = ((word >> 1) & 0x5555555555555555ull) | ((word & 0x5555555555555555ull) << 1);
    word = ((word >> 2) & 0x3333333333333333ull) | ((word & 0x3333333333333333ull) << 2);
    return ((word >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((word & 0x0F0F0F0F0F0F0F0Full) << 4);
}

// The sign bits of sixteen samples (set: 128 or more, white), pixel i at bit i.
std::uint64_t whiteMask16(const std::uint8_t* samples)
{
    return static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(samples))));
}

// 64 samples a step: four masks make one word whose byte k holds pixels 8k .. 8k + 7 (x86 is
// little-endian), inverted for black and bit-reversed per byte. Returns the pixels done.
std::size_t packRowSse2(const std::uint8_t* row, std::size_t width, std::uint8_t* out)
{
    std::size_t x = 0;
    for (; x + 64 <= width; x += 64, out += 8) {
        const std::uint64_t white = whiteMask16(row + x) | whiteMask16(row + x + 16) << 16 |
                                    whiteMask16(row + x + 32) << 32 | whiteMask16(row + x + 48) << 48;
        const std::uint64_t bits = reverseBitsInBytes(~white);
        std::memcpy(out, &bits, sizeof bits);
    }
    for (; x + 16 <= width; x += 16, out += 2) {
        const auto bits = static_cast<std::uint16_t>(reverseBitsInBytes(~whiteMask16(row + x)));
        std::memcpy(out, &bits, sizeof bits);
    }
    return x;
}
#endif

#if defined(PB_PACKING_AVX2)
// One shuffle reverses each group of eight samples, so that movemask yields the bytes in
// printer order (first pixel in the top bit) with no bit reversal afterwards.
__attribute__((target("avx2"))) std::uint32_t blackMask32(const std::uint8_t* samples, __m256i reverseGroups)
{
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(samples));
    return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_shuffle_epi8(v, reverseGroups)));
}

__attribute__((target("avx2"))) std::size_t packRowAvx2(const std::uint8_t* row, std::size_t width,
                                                       std::uint8_t* out)
{
    const __m256i reverseGroups = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,  //
                                                   7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    std::size_t x = 0;
    for (; x + 64 <= width; x += 64, out += 8) {
        const std::uint64_t bits = blackMask32(row + x, reverseGroups) |
                                   static_cast<std::uint64_t>(blackMask32(row + x + 32, reverseGroups)) << 32;
        std::memcpy(out, &bits, sizeof bits);
    }
    for (; x + 32 <= width; x += 32, out += 4) {
        const std::uint32_t bits = blackMask32(row + x, reverseGroups);
        std::memcpy(out, &bits, sizeof bits);
    }
    return x;
}

__attribute__((target("avx2"))) void packPageAvx2(const std::uint8_t* samples, std::size_t width,
                                                 std::size_t height, std::uint8_t* packed)
{
    const std::size_t rowBytes = (width + 7) / 8;
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = samples + y * width;
        std::uint8_t* out = packed + y * rowBytes;
        const std::size_t x = packRowAvx2(row, width, out);
        packRest(row, x, width, out + x / 8);
    }
}
#endif

}  // namespace

bool packingPathAvailable(PackingPath path)
{
    switch (path) {
    case PackingPath::Portable:
        return true;
    case PackingPath::Sse2:
#if defined(__SSE2__)
        return true;
#else
        return false;
#endif
    case PackingPath::Avx2:
#if defined(PB_PACKING_AVX2)
        return __builtin_cpu_supports("avx2") != 0;
#else
        return false;
#endif
    }
    return false;
}

PackingPath fastestPackingPath()
{
    static const PackingPath fastest = packingPathAvailable(PackingPath::Avx2)   ? PackingPath::Avx2
                                       : packingPathAvailable(PackingPath::Sse2) ? PackingPath::Sse2
                                                                                 : PackingPath::Portable;
    return fastest;
}

void thresholdAndPack(PackingPath path, const std::uint8_t* samples, std::size_t width, std::size_t height,
                      std::uint8_t* packed)
{
#if defined(PB_PACKING_AVX2)
    if (path == PackingPath::Avx2) {
        packPageAvx2(samples, width, height, packed);
        return;
    }
#endif
    const std::size_t rowBytes = (width + 7) / 8;
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = samples + y * width;
        std::uint8_t* out = packed + y * rowBytes;
        std::size_t x = 0;
#if defined(__SSE2__)
        if (path == PackingPath::Sse2)
            x = packRowSse2(row, width, out);
#endif
        packRest(row, x, width, out + x / 8);
    }
}

}  // namespace filter
