// Page image conversion: bilinear scaling, the three black-and-white methods and 1-bit packing.
// No I/O here apart from log entries and the page writes of processImage/processImageInBlocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace filter {

// Which filter a conversion runs for: print mode 3 means Floyd-Steinberg in vellumar and the
// three-row (Sierra) diffusion in tessoral.
enum class FilterVariant { Vellumar, Tessoral };

// Rows per block of processImageInBlocks; each block is diffused on its own.
inline constexpr int kConversionBlockHeight = 1000;
// Bytes of the written image buffer shown in the "Success write image buffer" log entry.
inline constexpr std::size_t kImageDumpBytes = 100;

// One page of samples, one byte per channel, 0 black and 255 white, rows back to back.
// `data` is owned by whoever allocated it.
struct Image {
    const std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int channels = 1;
};

// Scratch memory of resizeImage: per destination column the two source columns and weights,
// and two source rows already weighted across.
struct ResizeScratch {
    std::vector<std::int32_t> columns;
    std::vector<float> weights;
};

// Memory of one job, reused from page to page: long jobs then do not fault in fresh pages.
// Buffers only grow; their contents are meaningful only until the next call that uses them.
struct ConversionWorkspace {
    std::vector<std::uint8_t> scaled;     // resized page (processImage)
    std::vector<std::uint8_t> packed;     // packed rows of the last conversion
    std::vector<std::uint8_t> output;     // print-image header and rows about to be written
    std::vector<std::int32_t> errors;     // rolling error rows of the diffusion methods
    ResizeScratch resize;                 // column tables and interpolated source rows
};

// Packed bytes per row: (width + 7) / 8 for a positive width, else 0.
std::size_t packedRowBytes(int width);

// Bilinear scaling in single precision without half-pixel offset; fills `dst` with
// dstWidth x dstHeight samples. `scratch` only grows. Returns false (dst untouched) if a size
// is not positive or the memory cannot be had.
bool resizeImage(const std::uint8_t* src, int srcWidth, int srcHeight, std::vector<std::uint8_t>& dst,
                 int dstWidth, int dstHeight, ResizeScratch& scratch);
// Same, with scratch memory of its own.
bool resizeImage(const std::uint8_t* src, int srcWidth, int srcHeight, std::vector<std::uint8_t>& dst,
                 int dstWidth, int dstHeight);

// The conversions, each filling `result` with width x height one-channel samples that are all
// 0 or 255. applyBinaryThreshold honours `image.channels` (4: mean of the first three bytes,
// any other count but 1: the first byte of the pixel); the diffusion methods read the data as
// one channel. The two Floyd-Steinberg entries give identical samples; applyFloydSteinbergDithering
// runs the three-row method for FilterVariant::Tessoral. Non-positive sizes give an empty result.
void applyFloydSteinbergDithering(const Image& image, std::vector<std::uint8_t>& result, FilterVariant variant);
void applyClassicFloydSteinbergDithering(const Image& image, std::vector<std::uint8_t>& result);
void applyBinaryThreshold(const Image& image, std::vector<std::uint8_t>& result);

// Converts width x height grey samples by print mode (3: the variant's diffusion; 1, 2:
// Floyd-Steinberg; other: threshold) and packs them, MSB first, a 1 bit for each sample
// below 128, into `workspace.packed` (resized to exactly the packed length). Returns that
// length ((width + 7) / 8 * height) or 0 on failure (non-positive size, no memory). Logs the
// start and end entries with the processor time used.
std::size_t processRasterDataWithDithering(FILE* log, const std::uint8_t* samples, int width, int height,
                                           int printMode, FilterVariant variant, ConversionWorkspace& workspace);

// vellumar's page step: scales to target size (unless equal), converts, packs, and writes the
// print-image command with the rows to `out` in one write; logs as the filter does. A target
// size that is not positive writes nothing and logs the resize failure. `page` stays the caller's.
void processImage(FILE* out, FILE* log, const std::uint8_t* page, int width, int height, int targetWidth,
                  int targetHeight, int printMode, ConversionWorkspace& workspace);

// Block-wise form for tall pages: the header for the whole page first, then blocks of
// kConversionBlockHeight rows converted on their own, all rows written in one write to `out`.
void processImageInBlocks(FILE* out, FILE* log, const std::uint8_t* samples, int width, int height, int printMode,
                          ConversionWorkspace& workspace);

}  // namespace filter
