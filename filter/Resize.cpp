// Bilinear page scaling in single precision, bit for bit the per-pixel formula
// a(1-fx)(1-fy) + b fx(1-fy) + c(1-fx)fy + d fx fy, evaluated row-wise.
//
// The printed dots depend on every rounding, so the evaluation order is fixed: each product
// a(1-fx) is one rounded multiplication whatever row it is needed for, hence it is computed
// once per source row and reused; the sum keeps its left-to-right order. The build turns off
// floating-point contraction for this file (a fused multiply-add rounds once, not twice).
#include "filter/ImageConversion.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace filter {

namespace {

// Where destination coordinate i samples a source axis of srcLength: the lower source index,
// the upper one (clamped to the last) and the weight of the upper one. The quotient is
// computed as floats, multiplication first, and is clamped so that the float rounding of
// huge sizes can never reach one past the last source index.
struct AxisSample {
    int lower;
    int upper;
    float weight;
};

AxisSample sampleAxis(int i, int srcLength, int dstLength)
{
    const float position = static_cast<float>(i) * static_cast<float>(srcLength) / static_cast<float>(dstLength);
    const int lower = std::min(static_cast<int>(std::floor(position)), srcLength - 1);
    const int upper = std::min(lower + 1, srcLength - 1);
    return {lower, upper, position - static_cast<float>(lower)};
}

// The scratch laid out: per destination column the two source columns, their weights, and two
// slots each holding one source row weighted across (lower-column part, upper-column part).
class RowCache {
public:
    RowCache(const std::uint8_t* src, int srcWidth, int dstWidth, ResizeScratch& scratch)
        : src_(src), srcWidth_(srcWidth), width_(static_cast<std::size_t>(dstWidth))
    {
        scratch.columns.resize(std::max(scratch.columns.size(), 2 * width_));
        scratch.weights.resize(std::max(scratch.weights.size(), 6 * width_));
        lowerColumn_ = scratch.columns.data();
        upperColumn_ = lowerColumn_ + width_;
        upperWeight_ = scratch.weights.data();
        lowerWeight_ = upperWeight_ + width_;
        slots_[0] = lowerWeight_ + width_;
        slots_[1] = slots_[0] + 2 * width_;
        for (std::size_t x = 0; x < width_; ++x) {
            const AxisSample s = sampleAxis(static_cast<int>(x), srcWidth, dstWidth);
            lowerColumn_[x] = s.lower;
            upperColumn_[x] = s.upper;
            upperWeight_[x] = s.weight;
            lowerWeight_[x] = 1.0f - s.weight;
        }
    }

    // The weighted rows of source rows r0 and r1 (which may be equal), computing only those
    // not already held.
    void fetch(int r0, int r1, const float*& row0, const float*& row1)
    {
        int s0 = slotOf(r0);
        if (s0 < 0) {
            s0 = (tags_[0] == r1) ? 1 : 0;
            fill(s0, r0);
        }
        int s1 = slotOf(r1);
        if (s1 < 0) {
            s1 = 1 - s0;
            fill(s1, r1);
        }
        row0 = slots_[s0];
        row1 = slots_[s1];
    }

private:
    int slotOf(int r) const { return tags_[0] == r ? 0 : (tags_[1] == r ? 1 : -1); }

    void fill(int slot, int r)
    {
        const std::uint8_t* row = src_ + static_cast<std::size_t>(r) * static_cast<std::size_t>(srcWidth_);
        float* lowerPart = slots_[slot];
        float* upperPart = lowerPart + width_;
        for (std::size_t x = 0; x < width_; ++x) {
            lowerPart[x] = static_cast<float>(row[lowerColumn_[x]]) * lowerWeight_[x];
            upperPart[x] = static_cast<float>(row[upperColumn_[x]]) * upperWeight_[x];
        }
        tags_[slot] = r;
    }

    const std::uint8_t* src_;
    int srcWidth_;
    std::size_t width_;
    std::int32_t* lowerColumn_;
    std::int32_t* upperColumn_;
    float* upperWeight_;
    float* lowerWeight_;
    float* slots_[2];
    int tags_[2] = {-1, -1};
};

// One destination row: the vertical blend, summed in the order of the per-pixel formula.
void blendRow(const float* row0, const float* row1, std::size_t width, float fy, std::uint8_t* out)
{
    const float gy = 1.0f - fy;
    const float* a = row0;
    const float* b = row0 + width;
    const float* c = row1;
    const float* d = row1 + width;
    for (std::size_t x = 0; x < width; ++x) {
        const float value = a[x] * gy + b[x] * gy + c[x] * fy + d[x] * fy;
        out[x] = static_cast<std::uint8_t>(static_cast<int>(value));
    }
}

}  // namespace

bool resizeImage(const std::uint8_t* src, int srcWidth, int srcHeight, std::vector<std::uint8_t>& dst,
                 int dstWidth, int dstHeight, ResizeScratch& scratch)
{
    if (src == nullptr || srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0)
        return false;
    const std::size_t width = static_cast<std::size_t>(dstWidth);
    try {
        RowCache cache(src, srcWidth, dstWidth, scratch);
        dst.resize(width * static_cast<std::size_t>(dstHeight));
        for (int y = 0; y < dstHeight; ++y) {
            const AxisSample s = sampleAxis(y, srcHeight, dstHeight);
            const float* row0 = nullptr;
            const float* row1 = nullptr;
            cache.fetch(s.lower, s.upper, row0, row1);
            blendRow(row0, row1, width, s.weight, dst.data() + static_cast<std::size_t>(y) * width);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool resizeImage(const std::uint8_t* src, int srcWidth, int srcHeight, std::vector<std::uint8_t>& dst,
                 int dstWidth, int dstHeight)
{
    ResizeScratch scratch;
    return resizeImage(src, srcWidth, srcHeight, dst, dstWidth, dstHeight, scratch);
}

}  // namespace filter
