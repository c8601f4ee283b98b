// Plain reference implementations of the page conversions (see ReferenceConversion.h).
// Built without floating-point contraction, like the filters' own scaling.
#include "bench/filter/ReferenceConversion.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace reference {

namespace {

struct Neighbour {
    int dx;
    int dy;
    int weight;
};

constexpr Neighbour kFloydSteinberg[] = {{1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}};
constexpr int kFloydSteinbergDivisor = 16;
constexpr Neighbour kSierra[] = {{1, 0, 5},  {2, 0, 3},  {-2, 1, 2}, {-1, 1, 4}, {0, 1, 5},
                                 {1, 1, 4},  {2, 1, 2},  {-1, 2, 2}, {0, 2, 3},  {1, 2, 2}};
constexpr int kSierraDivisor = 32;

template <std::size_t N>
std::vector<std::uint8_t> diffuse(const std::uint8_t* samples, int width, int height,
                                  const Neighbour (&neighbours)[N], int divisor)
{
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<std::int32_t> errors(samples, samples + count);
    std::vector<std::uint8_t> result(count);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x;
            const std::int32_t old = errors[i];
            const std::int32_t now = old > 127 ? 255 : 0;
            result[i] = static_cast<std::uint8_t>(now);
            const std::int32_t e = old - now;
            for (const Neighbour& n : neighbours) {
                const int nx = x + n.dx;
                const int ny = y + n.dy;
                if (nx >= 0 && nx < width && ny < height)
                    errors[static_cast<std::size_t>(ny) * static_cast<std::size_t>(width) + nx] +=
                        e * n.weight / divisor;
            }
        }
    }
    return result;
}

}  // namespace

std::vector<std::uint8_t> resizeImage(const std::uint8_t* src, int srcWidth, int srcHeight, int dstWidth,
                                      int dstHeight)
{
    std::vector<std::uint8_t> dst(static_cast<std::size_t>(dstWidth) * static_cast<std::size_t>(dstHeight), 255);
    auto at = [&](int x, int y) {
        return static_cast<float>(src[static_cast<std::size_t>(y) * static_cast<std::size_t>(srcWidth) + x]);
    };
    for (int y = 0; y < dstHeight; ++y) {
        for (int x = 0; x < dstWidth; ++x) {
            const float sx = static_cast<float>(x) * static_cast<float>(srcWidth) / static_cast<float>(dstWidth);
            const float sy = static_cast<float>(y) * static_cast<float>(srcHeight) / static_cast<float>(dstHeight);
            // Clamped: float rounding of huge sizes must not reach one past the last index.
            const int x0 = std::min(static_cast<int>(std::floor(sx)), srcWidth - 1);
            const int y0 = std::min(static_cast<int>(std::floor(sy)), srcHeight - 1);
            const int x1 = std::min(x0 + 1, srcWidth - 1);
            const int y1 = std::min(y0 + 1, srcHeight - 1);
            const float fx = sx - static_cast<float>(x0);
            const float fy = sy - static_cast<float>(y0);
            const float a = at(x0, y0), b = at(x1, y0), c = at(x0, y1), d = at(x1, y1);
            const float value = a * (1 - fx) * (1 - fy) + b * fx * (1 - fy) + c * (1 - fx) * fy + d * fx * fy;
            dst[static_cast<std::size_t>(y) * static_cast<std::size_t>(dstWidth) + x] =
                static_cast<std::uint8_t>(static_cast<int>(value));
        }
    }
    return dst;
}

std::vector<std::uint8_t> convert(Method method, const std::uint8_t* samples, int width, int height)
{
    switch (method) {
    case Method::FloydSteinberg:
        return diffuse(samples, width, height, kFloydSteinberg, kFloydSteinbergDivisor);
    case Method::Sierra3:
        return diffuse(samples, width, height, kSierra, kSierraDivisor);
    case Method::Threshold:
        break;
    }
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<std::uint8_t> result(count);
    for (std::size_t i = 0; i < count; ++i)
        result[i] = samples[i] < 128 ? 0 : 255;
    return result;
}

std::vector<std::uint8_t> pack(const std::vector<std::uint8_t>& samples, int width, int height)
{
    const int rowBytes = (width + 7) / 8;
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int bx = 0; bx < rowBytes; ++bx) {
            std::uint8_t byte = 0;
            for (int i = 0; i < 8 && 8 * bx + i < width; ++i) {
                if (samples[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + 8 * bx + i] < 128)
                    byte |= static_cast<std::uint8_t>(0x80 >> i);
            }
            packed[static_cast<std::size_t>(y) * static_cast<std::size_t>(rowBytes) + bx] = byte;
        }
    }
    return packed;
}

std::vector<std::uint8_t> convertAndPack(Method method, const std::uint8_t* samples, int width, int height)
{
    return pack(convert(method, samples, width, height), width, height);
}

}  // namespace reference
