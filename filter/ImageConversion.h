// Page image conversion: bilinear scaling, the three black-and-white methods and 1-bit packing.
// No I/O here apart from log entries; callers write the results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace filter {

// Which filter a conversion runs for: print mode 3 means Floyd-Steinberg in vellumar and the
// three-row (Sierra) diffusion in tessoral.
enum class FilterVariant { Vellumar, Tessoral };

// One page of samples, one byte per channel, 0 black and 255 white, rows back to back.
// `data` is owned by whoever allocated it.
struct Image {
    std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int channels = 1;
};

// Memory of one job, reused from page to page: long jobs then do not fault in fresh pages.
// Every buffer is resized on demand; their contents are only meaningful within one call.
struct ConversionWorkspace {
    std::vector<std::uint8_t> scaled;     // resized page
    std::vector<std::uint8_t> converted;  // 0/255 samples of the conversion
    std::vector<std::uint8_t> packed;     // packed rows
    std::vector<std::uint8_t> output;     // print-image header followed by the packed rows
    std::vector<std::int32_t> errors;     // rolling error rows of the diffusion methods
};

// Bilinear scaling in single precision without half-pixel offset; fills `dst` with
// dstWidth x dstHeight samples. Returns false (dst untouched) if the sizes are not positive.
bool resizeImage(const std::uint8_t* src, int srcWidth, int srcHeight, std::vector<std::uint8_t>& dst,
                 int dstWidth, int dstHeight);

// The conversions, each returning a one-channel image whose samples are 0 or 255 in
// `result` (resized as needed). applyBinaryThreshold honours `image.channels` as described
// for the threshold method; the diffusion methods treat the data as one channel.
void applyFloydSteinbergDithering(const Image& image, std::vector<std::uint8_t>& result, FilterVariant variant);
void applyClassicFloydSteinbergDithering(const Image& image, std::vector<std::uint8_t>& result);
void applyBinaryThreshold(const Image& image, std::vector<std::uint8_t>& result);

// Converts width x height grey samples by print mode (3: variant's diffusion; 1, 2:
// Floyd-Steinberg; other: threshold) and packs them, MSB first, a 1 bit for each sample
// below 128, into `workspace.packed`. Returns the packed length ((width + 7) / 8 * height)
// or 0 on failure. Logs the start and end entries with the processor time used.
std::size_t processRasterDataWithDithering(FILE* log, const std::uint8_t* samples, int width, int height,
                                           int printMode, FilterVariant variant, ConversionWorkspace& workspace);

// vellumar's page step: scales to target size (unless equal), converts, packs, and writes the
// print-image command with the rows to `out` in one write; logs as the filter does.
void processImage(FILE* out, FILE* log, const std::uint8_t* page, int width, int height, int targetWidth,
                  int targetHeight, int printMode, ConversionWorkspace& workspace);

// Block-wise form for tall pages: blocks of 1000 rows converted on their own, the whole
// result written after the header in one write to `out`.
void processImageInBlocks(FILE* out, FILE* log, const std::uint8_t* samples, int width, int height, int printMode,
                          ConversionWorkspace& workspace);

}  // namespace filter
