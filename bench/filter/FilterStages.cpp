// Where a filter's time goes: reads a CUPS raster job from standard input and does what the
// filters do with each page, timing reading, conversion (scaling included) and writing apart.
// usage: bench_filter_stages vellumar|tessoral OUTPUT-FILE < job.ras
// Prints one line: pages, and processor milliseconds per page for read, convert and write.
#include "filter/ImageConversion.h"
#include "filter/PrinterCommands.h"
#include "filter/RasterInput.h"

#include <cups/raster.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int kVellumarMaxWidth = 384;

double processSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Totals {
    double read = 0, convert = 0, write = 0;
    int pages = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "vellumar") != 0 && std::strcmp(argv[1], "tessoral") != 0)) {
        std::fprintf(stderr, "usage: bench_filter_stages vellumar|tessoral OUTPUT-FILE < job.ras\n");
        return 2;
    }
    const bool vellumar = std::strcmp(argv[1], "vellumar") == 0;
    FILE* out = std::fopen(argv[2], "wb");
    FILE* log = std::fopen("/dev/null", "w");
    filter::RasterInput input(0);  // as the filters read their standard input
    cups_raster_t* raster = input.open();
    if (out == nullptr || log == nullptr || raster == nullptr) {
        std::fprintf(stderr, "bench_filter_stages: cannot open the output, /dev/null or the raster\n");
        return 1;
    }
    filter::ConversionWorkspace workspace;
    std::vector<std::uint8_t> page;
    Totals totals;
    cups_page_header2_t header;
    for (;;) {
        double start = processSeconds();
        if (!cupsRasterReadHeader2(raster, &header))
            break;
        const int width = static_cast<int>(header.cupsWidth);
        const int height = static_cast<int>(header.cupsHeight);
        const std::size_t bytesPerLine = header.cupsBytesPerLine;
        if (width <= 0 || height <= 0 || bytesPerLine != header.cupsWidth) {
            std::fprintf(stderr, "bench_filter_stages: only 8-bit grey pages are timed\n");
            return 1;
        }
        page.resize(bytesPerLine * static_cast<std::size_t>(height));
        for (int y = 0; y < height; ++y)
            cupsRasterReadPixels(raster, page.data() + bytesPerLine * static_cast<std::size_t>(y),
                                 static_cast<unsigned>(bytesPerLine));
        totals.read += processSeconds() - start;

        start = processSeconds();
        const std::uint8_t* samples = page.data();
        int targetWidth = width, targetHeight = height;
        if (vellumar) {
            targetWidth = std::min(width, kVellumarMaxWidth);
            targetHeight = static_cast<int>(static_cast<float>(height) / static_cast<float>(width) *
                                            static_cast<float>(targetWidth));
            if (targetWidth != width || targetHeight != height) {
                filter::resizeImage(page.data(), width, height, workspace.scaled, targetWidth, targetHeight,
                                    workspace.resize);
                samples = workspace.scaled.data();
            }
        }
        const std::size_t length = filter::processRasterDataWithDithering(
            log, samples, targetWidth, targetHeight, 3,
            vellumar ? filter::FilterVariant::Vellumar : filter::FilterVariant::Tessoral, workspace);
        totals.convert += processSeconds() - start;

        start = processSeconds();
        const filter::Bytes printHeader = filter::createPrintHeader(targetWidth, targetHeight);
        std::fwrite(printHeader.data(), 1, printHeader.size(), out);
        std::fwrite(workspace.packed.data(), 1, length, out);
        std::fflush(out);
        totals.write += processSeconds() - start;
        ++totals.pages;
    }
    cupsRasterClose(raster);
    std::fclose(out);
    std::fclose(log);
    const double perPage = totals.pages > 0 ? 1e3 / totals.pages : 0.0;
    std::printf("%d %.3f %.3f %.3f\n", totals.pages, totals.read * perPage, totals.convert * perPage,
                totals.write * perPage);
    return 0;
}
