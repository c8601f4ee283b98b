// Error-diffusion kernels for Dithering.cpp: exact share tables, the per-row scans of
// Floyd-Steinberg and three-row Sierra, and the wavefront that runs several rows at once.
//
// Every pixel's value is its sample plus the shares it received; it turns white above 127
// and its error e = value - (0 or 255) is spread to unvisited neighbours as e * w / d with
// truncation toward zero, each share from e itself. Shares that would leave the page are lost.
//
// Why the lookup tables are exact: a pixel receives at most the sum over the weights of
// |e| * w / d (truncated), which for |e| <= 127 is 124 (Floyd-Steinberg) or 118 (Sierra), so a
// value lies in [-127, 382]; a value v <= 127 leaves e = v >= -124 and a value v > 127 leaves
// e = v - 255 in [-127, 124]. Hence |e| <= 127 holds for every pixel by induction over the
// scan, and tables indexed by the value cover every case; the static_asserts keep it so.
//
// Why several rows at once: along a row each pixel waits for its left neighbour's share (an
// add and a table load), so one row at a time leaves the processor idle most of each cycle.
// A row's pixel x is final once the row above has passed x + 1 (Floyd-Steinberg) or x + 2
// (Sierra), so rows can run together, each a few pixels behind the one above, and their
// independent chains overlap. The order of additions into any one value does not matter
// (integers), and every value is read only after all its shares are in, so the result is
// the same as the plain row-by-row scan.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace filter::diffusion {

inline constexpr int kWhiteAbove = 127;  // a value above this prints white
inline constexpr int kWhite = 255;
inline constexpr int kErrorLimit = 127;  // proven bound of |e|, see the file comment
inline constexpr int kValueMin = -kErrorLimit;
inline constexpr int kValueMax = kWhite + kErrorLimit;
inline constexpr int kValueSpan = kValueMax - kValueMin + 1;

constexpr int errorOf(int value)
{
    return value > kWhiteAbove ? value - kWhite : value;
}

constexpr int share(int error, int weight, int divisor)
{
    return error * weight / divisor;  // truncates toward zero, as the diffusion requires
}

inline constexpr int kFloydSteinbergInflow =
    share(kErrorLimit, 7, 16) + share(kErrorLimit, 3, 16) + share(kErrorLimit, 5, 16) + share(kErrorLimit, 1, 16);
inline constexpr int kSierraInflow = 2 * share(kErrorLimit, 5, 32) + 2 * share(kErrorLimit, 4, 32) +
                                     2 * share(kErrorLimit, 3, 32) + 4 * share(kErrorLimit, 2, 32);
static_assert(kFloydSteinbergInflow <= kErrorLimit && kSierraInflow <= kErrorLimit,
              "the share tables must cover every value a pixel can reach");
static_assert(errorOf(kValueMin) >= -kErrorLimit && errorOf(kValueMax) <= kErrorLimit);

// The share e * weight / divisor for every reachable value.
class ShareTable {
public:
    constexpr ShareTable(int weight, int divisor) : shares_()
    {
        for (int i = 0; i < kValueSpan; ++i)
            shares_[static_cast<std::size_t>(i)] = share(errorOf(kValueMin + i), weight, divisor);
    }
    // Indexed by the value itself, as a full-width integer, so that the lookup on the scan's
    // critical path is a single load.
    std::int32_t operator[](std::ptrdiff_t value) const
    {
        assert(value >= kValueMin && value <= kValueMax);
        return (shares_.data() - kValueMin)[value];
    }

private:
    std::array<std::int32_t, kValueSpan> shares_;
};

inline constexpr ShareTable kSevenSixteenths(7, 16);
inline constexpr ShareTable kFiveSixteenths(5, 16);
inline constexpr ShareTable kThreeSixteenths(3, 16);
inline constexpr ShareTable kOneSixteenth(1, 16);
inline constexpr ShareTable kFiveThirtySeconds(5, 32);
inline constexpr ShareTable kThreeThirtySeconds(3, 32);

// The shares a pixel gives a whole neighbouring row at once, as 12-bit lanes of one word
// (lane k for column x - centre + k), each share biased by kLaneBias so that no lane goes
// negative: sums of biased shares then never borrow from the lane above, and a column's sum
// is its lane less one bias per share it received.
inline constexpr int kLaneBits = 12;
inline constexpr std::uint64_t kLaneMask = (1u << kLaneBits) - 1;
inline constexpr int kLaneBias = 32;
static_assert(share(kErrorLimit, 5, 32) < kLaneBias && 5 * (2 * kLaneBias) < (1 << kLaneBits));

class LaneTable {
public:
    template <std::size_t N>
    constexpr LaneTable(const int (&weights)[N], int divisor) : lanes_()
    {
        static_assert(N * kLaneBits <= 64);
        for (int i = 0; i < kValueSpan; ++i) {
            std::uint64_t word = 0;
            for (std::size_t k = 0; k < N; ++k)
                word |= static_cast<std::uint64_t>(share(errorOf(kValueMin + i), weights[k], divisor) + kLaneBias)
                        << (kLaneBits * k);
            lanes_[static_cast<std::size_t>(i)] = word;
        }
    }
    std::uint64_t operator[](std::ptrdiff_t value) const
    {
        assert(value >= kValueMin && value <= kValueMax);
        return (lanes_.data() - kValueMin)[value];
    }

private:
    std::array<std::uint64_t, kValueSpan> lanes_;
};

inline constexpr int kSierraBelowWeights[] = {2, 4, 5, 4, 2};  // columns x - 2 .. x + 2
inline constexpr int kSierraTwoBelowWeights[] = {2, 3, 2};     // columns x - 1 .. x + 1
inline constexpr LaneTable kSierraBelow(kSierraBelowWeights, 32);
inline constexpr LaneTable kSierraTwoBelow(kSierraTwoBelowWeights, 32);

constexpr std::uint64_t biases(int count, int lane)
{
    return static_cast<std::uint64_t>(count * kLaneBias) << (kLaneBits * lane);
}

constexpr std::int32_t laneValue(std::uint64_t lanes, int shares)
{
    return static_cast<std::int32_t>(lanes & kLaneMask) - shares * kLaneBias;
}

// The error rows live in a ring of equal slots; slot column 0 is the leftmost column a row
// can send a share to (off the page: the share is dropped there).
struct ErrorRing {
    std::int32_t* base;
    std::size_t stride;
    std::size_t slots;
    std::int32_t* slot(std::size_t row) const { return base + (row % slots) * stride; }
};

// Floyd-Steinberg on one row: 7/16 right, 3/16 below left, 5/16 below, 1/16 below right.
// The row below is summed in registers and each of its columns written once, complete. Each
// pixel's final value replaces its inflow, so the output is made after the scan.
struct FloydSteinbergRow {
    static constexpr std::size_t kLag = 2;        // pixels behind the row above
    static constexpr std::size_t kRowsBelow = 1;  // rows it sends shares to
    static constexpr std::size_t kLeftPad = 1;    // columns left of the page in a slot

    const std::uint8_t* samples = nullptr;
    std::int32_t* inflow = nullptr;  // column x at index x; the value, once scanned
    std::int32_t* below = nullptr;   // column x - 1 at index x
    std::ptrdiff_t carry = 0;
    std::int32_t pendingLeft = 0;   // below, column x - 1, short of x's share
    std::int32_t pendingRight = 0;  // below, column x, so far

    FloydSteinbergRow() = default;
    FloydSteinbergRow(const std::uint8_t* rowSamples, const ErrorRing& ring, std::size_t y)
        : samples(rowSamples), inflow(ring.slot(y) + kLeftPad), below(ring.slot(y + 1))
    {
    }

    void step(std::size_t x)
    {
        const std::ptrdiff_t value = samples[x] + inflow[x] + carry;
        inflow[x] = static_cast<std::int32_t>(value);
        carry = kSevenSixteenths[value];
        below[x] = pendingLeft + kThreeSixteenths[value];
        pendingLeft = pendingRight + kFiveSixteenths[value];
        pendingRight = kOneSixteenth[value];
    }
    void finish(std::size_t width)
    {
        below[width] = pendingLeft;
    }
};

// Three-row Sierra on one row: 5 and 3 (/32) to the right; 2 4 5 4 2 on the row below from
// x - 2 to x + 2; 2 3 2 two rows below from x - 1 to x + 1. The two rows below are summed in
// lane words, the lanes of columns left of the page preloaded with the biases of the shares
// they will never get. The row two below is written first (by this row), the row below is
// added to. Values replace the inflow as above.
struct SierraRow {
    static constexpr std::size_t kLag = 3;
    static constexpr std::size_t kRowsBelow = 2;
    static constexpr std::size_t kLeftPad = 2;

    const std::uint8_t* samples = nullptr;
    std::int32_t* inflow = nullptr;    // column x at index x; the value, once scanned
    std::int32_t* below = nullptr;     // column x - 2 at index x
    std::int32_t* twoBelow = nullptr;  // column x - 2 at index x
    std::ptrdiff_t carry1 = 0, carry2 = 0;  // for x + 1 and x + 2 on this row
    // Below: columns x - 2 .. x + 1 so far; two below: columns x - 1 and x.
    std::uint64_t belowLanes = biases(4, 0) | biases(3, 1) | biases(2, 2) | biases(1, 3);
    std::uint64_t twoBelowLanes = biases(2, 0) | biases(1, 1);

    SierraRow() = default;
    SierraRow(const std::uint8_t* rowSamples, const ErrorRing& ring, std::size_t y)
        : samples(rowSamples), inflow(ring.slot(y) + kLeftPad), below(ring.slot(y + 1)), twoBelow(ring.slot(y + 2))
    {
        twoBelow[0] = 0;  // the one column the row below adds to before this row wrote it
    }

    void step(std::size_t x)
    {
        const std::ptrdiff_t value = samples[x] + inflow[x] + carry1;
        inflow[x] = static_cast<std::int32_t>(value);
        carry1 = carry2 + kFiveThirtySeconds[value];
        carry2 = kThreeThirtySeconds[value];
        belowLanes += kSierraBelow[value];
        below[x] += laneValue(belowLanes, 5);  // column x - 2, now complete
        belowLanes >>= kLaneBits;
        twoBelowLanes += kSierraTwoBelow[value];
        twoBelow[x + 1] = laneValue(twoBelowLanes, 3);  // column x - 1, now complete
        twoBelowLanes >>= kLaneBits;
    }
    void finish(std::size_t width)
    {
        below[width] += laneValue(belowLanes, 4);
        below[width + 1] += laneValue(belowLanes >> kLaneBits, 3);
        twoBelow[width + 1] = laneValue(twoBelowLanes, 2);
    }
};

// Runs `rows` together over the width, row r lagging Row::kLag * r pixels behind row 0. A row
// is finished right after its last pixel, before the row below reaches the columns that
// finishing writes. The rows are taken by value and only ever indexed by constants, so
// their state can stay in registers.
template <class Row, std::size_t Count>
void runWavefront(std::array<Row, Count> rows, std::size_t width)
{
    constexpr std::size_t lag = Row::kLag;
    auto each = [&](auto&& action) {
        [&]<std::size_t... R>(std::index_sequence<R...>) { (action(rows[R], lag * R), ...); }
        (std::make_index_sequence<Count>());
    };
    const std::size_t span = width + lag * (Count - 1);
    const std::size_t steadyBegin = lag * (Count - 1);  // from here every row is on the page
    const std::size_t steadyEnd = width - 1;             // ...and no row is at its last pixel
    auto checked = [&](std::size_t i) {
        each([&](Row& row, std::size_t behind) {
            if (i < behind || i - behind >= width)
                return;
            row.step(i - behind);
            if (i - behind == width - 1)
                row.finish(width);
        });
    };
    std::size_t i = 0;
    for (; i < steadyBegin && i < span; ++i)
        checked(i);
    for (; i < steadyEnd; ++i)
        each([&](Row& row, std::size_t behind) { row.step(i - behind); });
    for (; i < span; ++i)
        checked(i);
}

// Diffuses a whole page: groups of `Group` rows through the wavefront, leftover rows one by
// one; after each group `emitRow(y, values)` receives the final values of its rows. The ring
// needs Group + Row::kRowsBelow slots, the first two zeroed by the caller.
template <class Row, std::size_t Group, class EmitRow>
void diffusePage(const std::uint8_t* samples, std::size_t width, std::size_t height, const ErrorRing& ring,
                 EmitRow emitRow)
{
    auto rowAt = [&](std::size_t y) { return Row(samples + y * width, ring, y); };
    auto emit = [&](std::size_t first, std::size_t count) {
        for (std::size_t y = first; y < first + count; ++y)
            emitRow(y, static_cast<const std::int32_t*>(ring.slot(y) + Row::kLeftPad));
    };
    std::size_t y = 0;
    for (; y + Group <= height; y += Group) {
        std::array<Row, Group> rows;
        for (std::size_t r = 0; r < Group; ++r)
            rows[r] = rowAt(y + r);
        runWavefront(rows, width);
        emit(y, Group);
    }
    for (; y < height; ++y) {
        runWavefront(std::array<Row, 1>{rowAt(y)}, width);
        emit(y, 1);
    }
}

}  // namespace filter::diffusion
