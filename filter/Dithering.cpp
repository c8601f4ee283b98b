// Error diffusion (Floyd-Steinberg, three-row Sierra) and threshold, fused with 1-bit packing.
//
// Every pixel's value is its sample plus the shares it received; it turns white above 127
// and its error e = value - (0 or 255) is spread to unvisited neighbours as e * w / d with
// truncation toward zero, each share from e itself. Shares that would leave the page are lost.
//
// Why the lookup tables are exact: a pixel receives at most the sum over the weights of
// |e| * w / d (truncated), which for |e| <= 127 is 124 (Floyd-Steinberg) or 118 (Sierra), so a
// value lies in [-127, 382]; a value v <= 127 leaves e = v >= -124 and a value v > 127 leaves
// e = v - 255 in [-127, 124]. Hence |e| <= 127 holds for every pixel by induction over the
// scan, and tables indexed by the value cover every case; the static_asserts below keep it so.
//
// Only a few error rows are live at a time (2 for Floyd-Steinberg, 3 for Sierra); the shares
// for the row below are summed in registers and each column is written once, when complete.
#include "filter/Dithering.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>

namespace filter {

namespace {

constexpr int kWhiteAbove = 127;  // a value above this prints white
constexpr int kWhite = 255;
constexpr int kErrorLimit = 127;  // proven bound of |e|, see the file comment
constexpr int kValueMin = -kErrorLimit;
constexpr int kValueMax = kWhite + kErrorLimit;
constexpr int kValueSpan = kValueMax - kValueMin + 1;

constexpr int errorOf(int value)
{
    return value > kWhiteAbove ? value - kWhite : value;
}

constexpr int share(int error, int weight, int divisor)
{
    return error * weight / divisor;  // truncates toward zero, as the diffusion requires
}

constexpr int kFloydSteinbergInflow =
    share(kErrorLimit, 7, 16) + share(kErrorLimit, 3, 16) + share(kErrorLimit, 5, 16) + share(kErrorLimit, 1, 16);
constexpr int kSierraInflow = 2 * share(kErrorLimit, 5, 32) + 2 * share(kErrorLimit, 4, 32) +
                              2 * share(kErrorLimit, 3, 32) + 4 * share(kErrorLimit, 2, 32);
static_assert(kFloydSteinbergInflow <= kErrorLimit && kSierraInflow <= kErrorLimit,
              "the share tables must cover every value a pixel can reach");
static_assert(errorOf(kValueMin) >= -kErrorLimit && errorOf(kValueMax) <= kErrorLimit);

// A table of the share e * weight / divisor for every reachable value, indexed from kValueMin.
class ShareTable {
public:
    constexpr ShareTable(int weight, int divisor) : shares_()
    {
        for (int i = 0; i < kValueSpan; ++i)
            shares_[static_cast<std::size_t>(i)] = share(errorOf(kValueMin + i), weight, divisor);
    }
    std::int32_t operator[](std::int32_t value) const
    {
        assert(value >= kValueMin && value <= kValueMax);
        return shares_[static_cast<std::size_t>(value - kValueMin)];
    }

private:
    std::array<std::int32_t, kValueSpan> shares_;
};

constexpr ShareTable kSevenSixteenths(7, 16);
constexpr ShareTable kFiveSixteenths(5, 16);
constexpr ShareTable kThreeSixteenths(3, 16);
constexpr ShareTable kOneSixteenth(1, 16);
constexpr ShareTable kFiveThirtySeconds(5, 32);
constexpr ShareTable kFourThirtySeconds(4, 32);
constexpr ShareTable kThreeThirtySeconds(3, 32);
constexpr ShareTable kTwoThirtySeconds(2, 32);

// Output of a kernel: packed rows, MSB first, a 1 bit for a black pixel, low bits of the last
// byte of a row left 0.
class PackedSink {
public:
    PackedSink(std::uint8_t* packed, std::size_t width) : packed_(packed), width_(width), rowBytes_((width + 7) / 8) {}
    void beginRow(std::size_t y)
    {
        out_ = packed_ + y * rowBytes_;
        bits_ = 0;
    }
    void put(std::size_t x, bool black)
    {
        bits_ = (bits_ << 1) | static_cast<unsigned>(black);
        if ((x & 7) == 7) {
            *out_++ = static_cast<std::uint8_t>(bits_);
            bits_ = 0;
        }
    }
    void endRow()
    {
        const std::size_t used = width_ & 7;
        if (used != 0)
            *out_ = static_cast<std::uint8_t>(bits_ << (8 - used));
    }

private:
    std::uint8_t* packed_;
    std::size_t width_;
    std::size_t rowBytes_;
    std::uint8_t* out_ = nullptr;
    unsigned bits_ = 0;
};

// Output of a kernel: one sample per pixel, 0 for black and 255 for white.
class SampleSink {
public:
    SampleSink(std::uint8_t* out, std::size_t width) : out_(out), width_(width) {}
    void beginRow(std::size_t y) { row_ = out_ + y * width_; }
    void put(std::size_t x, bool black) { row_[x] = black ? 0 : kWhite; }
    void endRow() {}

private:
    std::uint8_t* out_;
    std::size_t width_;
    std::uint8_t* row_ = nullptr;
};

// Floyd-Steinberg: 7/16 right, 3/16 below left, 5/16 below, 1/16 below right.
// `errors` holds two rows of width + 1, the first column of each a sink for the share that
// the first pixel would give below-left of the page.
template <class Sink>
void floydSteinberg(const std::uint8_t* samples, std::size_t width, std::size_t height, std::int32_t* errors,
                    Sink& sink)
{
    const std::size_t stride = width + 1;
    std::int32_t* current = errors;
    std::int32_t* below = errors + stride;
    std::fill(current, current + stride, 0);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = samples + y * width;
        const std::int32_t* inflow = current + 1;
        sink.beginRow(y);
        std::int32_t carry = 0;
        std::int32_t pendingLeft = 0;   // the column left of x below, short of x's share
        std::int32_t pendingRight = 0;  // column x below, so far
        for (std::size_t x = 0; x < width; ++x) {
            const std::int32_t value = row[x] + inflow[x] + carry;
            sink.put(x, value <= kWhiteAbove);
            carry = kSevenSixteenths[value];
            below[x] = pendingLeft + kThreeSixteenths[value];  // column x - 1, now complete
            pendingLeft = pendingRight + kFiveSixteenths[value];
            pendingRight = kOneSixteenth[value];
        }
        below[width] = pendingLeft;
        sink.endRow();
        std::swap(current, below);
    }
}

// Three-row Sierra: 5 and 3 (/32) to the right; 2 4 5 4 2 on the row below from x - 2 to
// x + 2; 2 3 2 two rows below from x - 1 to x + 1. `errors` holds three rows of width + 2,
// the first two columns of each taking the shares lost off the left edge.
template <class Sink>
void sierra(const std::uint8_t* samples, std::size_t width, std::size_t height, std::int32_t* errors, Sink& sink)
{
    const std::size_t stride = width + 2;
    std::int32_t* current = errors;
    std::int32_t* below = errors + stride;
    std::int32_t* twoBelow = errors + 2 * stride;
    std::fill(errors, errors + 2 * stride, 0);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = samples + y * width;
        const std::int32_t* inflow = current + 2;
        sink.beginRow(y);
        std::int32_t carry1 = 0, carry2 = 0;           // for x + 1 and x + 2 on this row
        std::int32_t b0 = 0, b1 = 0, b2 = 0, b3 = 0;  // row below, columns x - 2 .. x + 1, so far
        std::int32_t c0 = 0, c1 = 0;                  // two rows below, columns x - 1 and x
        twoBelow[0] = 0;  // the one column the row below adds to before anyone wrote it
        for (std::size_t x = 0; x < width; ++x) {
            const std::int32_t value = row[x] + inflow[x] + carry1;
            sink.put(x, value <= kWhiteAbove);
            const std::int32_t five = kFiveThirtySeconds[value];
            const std::int32_t four = kFourThirtySeconds[value];
            const std::int32_t three = kThreeThirtySeconds[value];
            const std::int32_t two = kTwoThirtySeconds[value];
            carry1 = carry2 + five;
            carry2 = three;
            below[x] += b0 + two;  // column x - 2, now complete
            b0 = b1 + four;
            b1 = b2 + five;
            b2 = b3 + four;
            b3 = two;
            twoBelow[x + 1] = c0 + two;  // column x - 1, now complete
            c0 = c1 + three;
            c1 = two;
        }
        below[width] += b0;
        below[width + 1] += b1;
        twoBelow[width + 1] = c0;
        sink.endRow();
        std::int32_t* done = current;
        current = below;
        below = twoBelow;
        twoBelow = done;
    }
}

// Eight samples at once: bit 7 of each byte is clear exactly when the sample is below 128;
// the multiplication gathers those bits, first sample in the top bit, without carries (each
// product bit lands on a distinct position).
std::uint8_t packEightBelowHalf(const std::uint8_t* samples)
{
    constexpr std::uint64_t kLowBits = 0x0101010101010101ull;
    constexpr std::uint64_t kGather = 0x8040201008040201ull;
    std::uint64_t word;
    std::memcpy(&word, samples, sizeof word);
    const std::uint64_t flags = (~word >> 7) & kLowBits;
    return static_cast<std::uint8_t>((flags * kGather) >> 56);
}

void thresholdAndPack(const std::uint8_t* samples, std::size_t width, std::size_t height, std::uint8_t* packed)
{
    const std::size_t rowBytes = (width + 7) / 8;
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = samples + y * width;
        std::uint8_t* out = packed + y * rowBytes;
        std::size_t x = 0;
        for (; x + 8 <= width; x += 8)
            *out++ = packEightBelowHalf(row + x);
        if (x < width) {
            unsigned bits = 0;
            for (unsigned i = 0; x + i < width; ++i)
                bits |= static_cast<unsigned>(row[x + i] <= kWhiteAbove) << (7 - i);
            *out = static_cast<std::uint8_t>(bits);
        }
    }
}

std::int32_t* errorRows(std::vector<std::int32_t>& errors, std::size_t rows, std::size_t stride)
{
    if (errors.size() < rows * stride)
        errors.resize(rows * stride);
    return errors.data();
}

template <class Sink>
void diffuse(ConversionMethod method, const std::uint8_t* samples, std::size_t width, std::size_t height,
             std::vector<std::int32_t>& errors, Sink& sink)
{
    if (method == ConversionMethod::Sierra3)
        sierra(samples, width, height, errorRows(errors, 3, width + 2), sink);
    else
        floydSteinberg(samples, width, height, errorRows(errors, 2, width + 1), sink);
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
        thresholdAndPack(samples, w, h, packed);
        return;
    }
    PackedSink sink(packed, w);
    diffuse(method, samples, w, h, errors, sink);
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
    SampleSink sink(out, w);
    diffuse(method, samples, w, h, errors, sink);
}

}  // namespace filter
