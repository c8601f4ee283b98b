// The black-and-white conversions: dispatch by method, and the diffusion kernels
// (DiffusionKernels.h) bound to their outputs.
#include "filter/Dithering.h"

#include "filter/DiffusionKernels.h"
#include "filter/ThresholdPacking.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace filter {

namespace {

using namespace diffusion;

// Rows run together in the wavefront; more rows overlap more work, until the processor runs
// out of registers for their state.
constexpr std::size_t kFloydSteinbergGroup = 2;
constexpr std::size_t kSierraGroup = 2;

// The last, partial byte of a row: `count` (< 8) pixels from the top bit down.
template <class IsBlack>
std::uint8_t packTail(std::size_t count, IsBlack isBlack)
{
    unsigned bits = 0;
    for (unsigned i = 0; i < count; ++i)
        bits |= static_cast<unsigned>(isBlack(i)) << (7 - i);
    return static_cast<std::uint8_t>(bits);
}

#if defined(__SSE2__)
// Sixteen bytes to sixteen bits, first byte in the top bit of the first output byte: reverse
// the bytes of each 8-byte half, then collect their sign bits.
void storeSignBits(__m128i bytes, std::uint8_t* out)
{
    __m128i reversed = _mm_shufflehi_epi16(_mm_shufflelo_epi16(bytes, 0x1B), 0x1B);
    reversed = _mm_or_si128(_mm_slli_epi16(reversed, 8), _mm_srli_epi16(reversed, 8));
    const int mask = _mm_movemask_epi8(reversed);
    out[0] = static_cast<std::uint8_t>(mask);
    out[1] = static_cast<std::uint8_t>(mask >> 8);
}
#endif

// Packs one row of diffusion values: black (1) where the value is 127 or less.
void packValues(const std::int32_t* values, std::size_t width, std::uint8_t* out)
{
    std::size_t x = 0;
#if defined(__SSE2__)
    // value - 128 is negative exactly for black; saturating packs keep the sign.
    const __m128i half = _mm_set1_epi32(kWhiteAbove + 1);
    auto load = [&](std::size_t at) {
        return _mm_sub_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values + at)), half);
    };
    for (; x + 16 <= width; x += 16, out += 2) {
        const __m128i low = _mm_packs_epi32(load(x), load(x + 4));
        const __m128i high = _mm_packs_epi32(load(x + 8), load(x + 12));
        storeSignBits(_mm_packs_epi16(low, high), out);
    }
#endif
    for (; x + 8 <= width; x += 8) {
        unsigned bits = 0;
        for (std::size_t i = 0; i < 8; ++i)
            bits = (bits << 1) | static_cast<unsigned>(values[x + i] <= kWhiteAbove);
        *out++ = static_cast<std::uint8_t>(bits);
    }
    if (x < width)
        *out = packTail(width - x, [&](std::size_t i) { return values[x + i] <= kWhiteAbove; });
}

// Sizes the ring of error rows for the kernel (it only grows) and diffuses the page.
template <class Row, std::size_t Group, class EmitRow>
void diffuseWith(const std::uint8_t* samples, std::size_t width, std::size_t height,
                 std::vector<std::int32_t>& errors, EmitRow emitRow)
{
    const std::size_t stride = width + Row::kLeftPad;
    const std::size_t slots = Group + Row::kRowsBelow;
    if (errors.size() < slots * stride)
        errors.resize(slots * stride);
    const ErrorRing ring{errors.data(), stride, slots};
    std::fill(ring.slot(0), ring.slot(0) + stride, 0);
    std::fill(ring.slot(1), ring.slot(1) + stride, 0);
    diffusePage<Row, Group>(samples, width, height, ring, emitRow);
}

template <class EmitRow>
void diffuse(ConversionMethod method, const std::uint8_t* samples, std::size_t width, std::size_t height,
             std::vector<std::int32_t>& errors, EmitRow emitRow)
{
    if (method == ConversionMethod::Sierra3)
        diffuseWith<SierraRow, kSierraGroup>(samples, width, height, errors, emitRow);
    else
        diffuseWith<FloydSteinbergRow, kFloydSteinbergGroup>(samples, width, height, errors, emitRow);
}

}  // namespace

ConversionMethod conversionMethodFor(int printMode, FilterVariant variant)
{
    if (printMode == 3)
        return variant == FilterVariant::Tessoral ? ConversionMethod::Sierra3 : ConversionMethod::FloydSteinberg;
    if (printMode == 1 || printMode == 2)
        return ConversionMethod::FloydSteinberg;
    return ConversionMethod::Threshold;
}

void convertAndPack(ConversionMethod method, const std::uint8_t* samples, int width, int height,
                    std::uint8_t* packed, std::vector<std::int32_t>& errors)
{
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    if (method == ConversionMethod::Threshold) {
        thresholdAndPack(fastestPackingPath(), samples, w, h, packed);
        return;
    }
    const std::size_t rowBytes = (w + 7) / 8;
    diffuse(method, samples, w, h, errors,
            [&](std::size_t y, const std::int32_t* values) { packValues(values, w, packed + y * rowBytes); });
}

void convertToSamples(ConversionMethod method, const std::uint8_t* samples, int width, int height,
                      std::uint8_t* out, std::vector<std::int32_t>& errors)
{
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    if (method == ConversionMethod::Threshold) {
        for (std::size_t i = 0; i < w * h; ++i)
            out[i] = samples[i] <= kWhiteAbove ? 0 : kWhite;
        return;
    }
    diffuse(method, samples, w, h, errors, [&](std::size_t y, const std::int32_t* values) {
        std::uint8_t* row = out + y * w;
        for (std::size_t x = 0; x < w; ++x)
            row[x] = values[x] <= kWhiteAbove ? 0 : kWhite;
    });
}

}  // namespace filter
