// The page steps of the filters: convert and pack a page with its log entries, and vellumar's
// scale-convert-write step, whole or in blocks.
#include "filter/ImageConversion.h"

#include "filter/Dithering.h"
#include "filter/FilterLog.h"
#include "filter/PrinterCommands.h"

#include <algorithm>
#include <ctime>
#include <new>

namespace filter {

namespace {

constexpr int kFourChannels = 4;
constexpr std::uint8_t kBlackBelow = 128;
constexpr std::uint8_t kWhite = 255;
constexpr double kClockTicksPerSecond = 1000000.0;  // the log reports clock ticks / 10^6

std::size_t pixelCount(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

// The grey value the threshold looks at for pixel i of an image with `channels` bytes a pixel.
unsigned thresholdInput(const Image& image, std::size_t i)
{
    if (image.channels == 1)
        return image.data[i];
    const std::uint8_t* pixel = image.data + i * static_cast<std::size_t>(image.channels);
    if (image.channels == kFourChannels)
        return (static_cast<unsigned>(pixel[0]) + pixel[1] + pixel[2]) / 3;
    return pixel[0];
}

void writeBytes(FILE* out, const std::vector<std::uint8_t>& bytes)
{
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), out);
}

}  // namespace

std::size_t packedRowBytes(int width)
{
    return width > 0 ? (static_cast<std::size_t>(width) + 7) / 8 : 0;
}

void applyFloydSteinbergDithering(const Image& image, std::vector<std::uint8_t>& result, FilterVariant variant)
{
    const std::size_t count = pixelCount(image.width, image.height);
    result.resize(count);
    if (count == 0)
        return;
    std::vector<std::int32_t> errors;
    convertToSamples(conversionMethodFor(3, variant), image.data, image.width, image.height, result.data(), errors);
}

void applyClassicFloydSteinbergDithering(const Image& image, std::vector<std::uint8_t>& result)
{
    applyFloydSteinbergDithering(image, result, FilterVariant::Vellumar);
}

void applyBinaryThreshold(const Image& image, std::vector<std::uint8_t>& result)
{
    const std::size_t count = pixelCount(image.width, image.height);
    result.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        result[i] = thresholdInput(image, i) < kBlackBelow ? 0 : kWhite;
}

std::size_t processRasterDataWithDithering(FILE* log, const std::uint8_t* samples, int width, int height,
                                           int printMode, FilterVariant variant, ConversionWorkspace& workspace)
{
    printLog(log, "processRasterDataWithDithering start\n");
    const std::clock_t start = std::clock();
    if (samples == nullptr || pixelCount(width, height) == 0)
        return 0;
    const std::size_t length = packedRowBytes(width) * static_cast<std::size_t>(height);
    try {
        workspace.packed.resize(length);
        convertAndPack(conversionMethodFor(printMode, variant), samples, width, height, workspace.packed.data(),
                       workspace.errors);
    } catch (const std::bad_alloc&) {
        printLog(log, "Failed to allocate memory for binary buffer.\n");
        return 0;
    }
    const std::clock_t end = std::clock();
    printLog(log, "processRasterDataWithDithering end, elapsed time: %.2f seconds\n",
             static_cast<double>(end - start) / kClockTicksPerSecond);
    return length;
}

void processImage(FILE* out, FILE* log, const std::uint8_t* page, int width, int height, int targetWidth,
                  int targetHeight, int printMode, ConversionWorkspace& workspace)
{
    const std::uint8_t* source = page;
    if (width == targetWidth && height == targetHeight) {
        printLog(log, "Skipping resize as input and output dimensions are the same.\n");
    } else if (resizeImage(page, width, height, workspace.scaled, targetWidth, targetHeight, workspace.resize)) {
        source = workspace.scaled.data();
    } else {
        printLog(log, "Error: Failed to resize image\n");
        return;
    }
    const std::size_t packedLength = processRasterDataWithDithering(log, source, targetWidth, targetHeight, printMode,
                                                                    FilterVariant::Vellumar, workspace);
    if (packedLength == 0) {
        printLog(log, "Error: Failed to process image\n");
        return;
    }
    try {
        const Bytes header = createPrintHeader(targetWidth, targetHeight);
        workspace.output.assign(header.begin(), header.end());
        workspace.output.insert(workspace.output.end(), workspace.packed.begin(),
                                workspace.packed.begin() + static_cast<std::ptrdiff_t>(packedLength));
    } catch (const std::bad_alloc&) {
        printLog(log, "Error: Failed to allocate memory for combined buffer\n");
        return;
    }
    writeBytes(out, workspace.output);
    printHexData(log, "Success write image buffer", workspace.output.data(),
                 std::min(kImageDumpBytes, workspace.output.size()));
}

void processImageInBlocks(FILE* out, FILE* log, const std::uint8_t* samples, int width, int height, int printMode,
                          ConversionWorkspace& workspace)
{
    if (samples == nullptr || pixelCount(width, height) == 0)
        return;
    const int blocks = (height + kConversionBlockHeight - 1) / kConversionBlockHeight;
    printLog(log, "Processing image in %d blocks of height %d\n", blocks, kConversionBlockHeight);
    writeBytes(out, createPrintHeader(width, height));

    std::vector<std::uint8_t>& result = workspace.output;
    result.clear();
    for (int block = 0; block < blocks; ++block) {
        const int firstRow = block * kConversionBlockHeight;
        const int rows = std::min(kConversionBlockHeight, height - firstRow);
        // Rows are contiguous, so a block is converted in place rather than from a copy.
        const std::uint8_t* blockSamples =
            samples + static_cast<std::size_t>(firstRow) * static_cast<std::size_t>(width);
        const std::size_t length = processRasterDataWithDithering(log, blockSamples, width, rows, printMode,
                                                                  FilterVariant::Vellumar, workspace);
        if (length == 0) {
            printLog(log, "Error: Failed to process block %d\n", block);
            break;
        }
        try {
            result.insert(result.end(), workspace.packed.begin(),
                          workspace.packed.begin() + static_cast<std::ptrdiff_t>(length));
        } catch (const std::bad_alloc&) {
            printLog(log, "Error: Failed to reallocate memory for final buffer\n");
            break;
        }
    }
    writeBytes(out, result);
}

}  // namespace filter
