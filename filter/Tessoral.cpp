// The tessoral filter's job: CUPS raster in, the printer's command stream out.
#include "filter/Tessoral.h"

#include "common/RootPath.h"
#include "filter/CommandWriters.h"
#include "filter/FilterLog.h"
#include "filter/ImageConversion.h"
#include "filter/JobSettings.h"
#include "filter/PpdModel.h"
#include "filter/PrinterCommands.h"
#include "filter/RasterInput.h"
#include "filter/RasterPageReader.h"

#include <array>
#include <new>
#include <string>
#include <string_view>

namespace filter {

namespace {

constexpr std::array<std::string_view, 7> kBlankPreambleModels{"V21",    "V24",    "V27",   "ZOR22N",
                                                               "ZOR21N", "ZOR22S", "ZOR21S"};

struct TessoralJob {
    FILE* out;
    FILE* log;
    bool fixedPage;  // the "T53" model: every page printed at kT53Width x kT53Height
    JobSettings settings;
    ConversionWorkspace workspace;
    std::vector<std::uint8_t> fixedSamples;  // a page brought to the fixed size
    std::vector<std::uint8_t> imageCommand;  // print-image header and packed rows
};

bool nameContainsAny(const char* name, const auto& parts)
{
    const std::string_view view = name != nullptr ? name : "";
    for (std::string_view part : parts)
        if (view.find(part) != std::string_view::npos)
            return true;
    return false;
}

void writeCommand(TessoralJob& job, const std::uint8_t* bytes, std::size_t length)
{
    writeDataToStdoutAndFile(job.out, job.log, kImageBufferFilePath, bytes, length);
}

void writeCommand(TessoralJob& job, const Bytes& bytes)
{
    writeCommand(job, bytes.data(), bytes.size());
}

// The header is rewritten to the fixed page; the page itself is still read at the size
// its data has (the header that came with it).
void announceFixedPage(cups_page_header2_t& header, FILE* log)
{
    printLog(log, "printerName is T53.\n");
    printLog(log, "Printer DPI: %d\n", kT53Dpi);
    printLog(log, "Maximum allowed dimensions: %dx%d pixels\n", kT53Width, kT53Height);
    header.PageSize[0] = kT53WidthPoints;
    header.PageSize[1] = kT53HeightPoints;
    header.cupsImagingBBox[0] = 0;
    header.cupsImagingBBox[1] = 0;
    header.cupsImagingBBox[2] = kT53WidthPoints;
    header.cupsImagingBBox[3] = kT53HeightPoints;
    header.cupsWidth = kT53Width;
    header.cupsHeight = kT53Height;
    header.cupsBytesPerLine = (kT53Width + 7) / 8;
    printLog(log, "Modified header dimensions: %dx%d pixels (%dx%d points)\n", kT53Width, kT53Height,
             kT53WidthPoints, kT53HeightPoints);
    printLog(log, "Page head write finished.\n");
    printLog(log, "Page Original Image Resolution: %dx%d\n", kT53WidthPoints, kT53HeightPoints);
}

bool isFixedSize(const cups_page_header2_t& header)
{
    return header.cupsWidth == static_cast<unsigned>(kT53Width) && header.cupsHeight == static_cast<unsigned>(kT53Height);
}

// Samples at the size the page is printed at: the page as read, or brought to the fixed size.
const std::uint8_t* printedSamples(TessoralJob& job, const cups_page_header2_t& real, const std::uint8_t* samples)
{
    if (!job.fixedPage || isFixedSize(real))
        return samples;
    resizeImage(samples, static_cast<int>(real.cupsWidth), static_cast<int>(real.cupsHeight), job.fixedSamples,
                kT53Width, kT53Height, job.workspace.resize);
    printLog(job.log, "Resized page from %ux%u to %dx%d pixels.\n", real.cupsWidth, real.cupsHeight, kT53Width,
             kT53Height);
    return job.fixedSamples.data();
}

void writeFeed(TessoralJob& job)
{
    const int mediaType = job.settings.mediaType;
    if (mediaType == 0) {
        printLog(job.log, "user_media_type == 0\n");
        writeCommand(job, kContinuousFeedCommand.data(), kContinuousFeedCommand.size());
    } else if (mediaType == 1 || mediaType == 2) {
        writeCommand(job, kLabelFeedCommand.data(), kLabelFeedCommand.size());
        printLog(job.log, "Sent paper feed command (0x1d, 0x0c) for label paper.\n");
    }
}

void convertAndWrite(TessoralJob& job, const std::uint8_t* samples, int width, int height)
{
    const std::size_t packedLength = processRasterDataWithDithering(
        job.log, samples, width, height, job.settings.printMode, FilterVariant::Tessoral, job.workspace);
    if (packedLength == 0) {
        printLog(job.log, "No data processed.\n");
        return;
    }
    writeCommand(job, createEnableHeader());
    const Bytes header = createPrintHeader(width, height);
    job.imageCommand.assign(header.begin(), header.end());
    job.imageCommand.insert(job.imageCommand.end(), job.workspace.packed.begin(),
                            job.workspace.packed.begin() + static_cast<std::ptrdiff_t>(packedLength));
    writeCommand(job, job.imageCommand.data(), job.imageCommand.size());
    writeFeed(job);
    writeCommand(job, createDisableHeader());
}

enum class PageResult { Done, OutOfMemory };

PageResult printPage(TessoralJob& job, RasterPageReader& reader, cups_page_header2_t& header)
{
    printLog(job.log, "Page header read successfully.\n");
    printHeaderInfo(header, job.log);
    printLog(job.log, "Page header print finished.\n");
    if (!reader.acceptPage(header, job.log))
        return PageResult::Done;
    const cups_page_header2_t real = header;
    if (job.fixedPage)
        announceFixedPage(header, job.log);

    printLog(job.log, "Page malloc memory");
    bool allocated = reader.allocatePage(real);
    if (allocated && job.fixedPage) {
        try {
            job.fixedSamples.resize(std::size_t{kT53Width} * kT53Height);
        } catch (const std::bad_alloc&) {
            allocated = false;
        }
    }
    if (!allocated) {
        printLog(job.log, "Failed to allocate memory for buffer.\n");
        return PageResult::OutOfMemory;
    }
    if (!reader.readPage(real, job.log))
        return PageResult::Done;
    printLog(job.log, "Pixel data read successfully. Processing data.\n");

    const std::uint8_t* samples = printedSamples(job, real, reader.samples());
    convertAndWrite(job, samples, static_cast<int>(header.cupsWidth), static_cast<int>(header.cupsHeight));
    std::fflush(job.out);
    return PageResult::Done;
}

void writeJobStart(TessoralJob& job, const char* queueName)
{
    printLog(job.log, "Target dimensions: %dx%d pixels (%dx%d points, %dx%d mm)\n", kT53Width, kT53Height,
             kT53WidthPoints, kT53HeightPoints, kT53WidthMm, kT53HeightMm);
    if (nameContainsAny(queueName, kBlankPreambleModels)) {
        const std::array<std::uint8_t, kBlankPreambleLength> blank{};
        writeCommand(job, blank.data(), blank.size());
    }
    const JobSettings& settings = job.settings;
    if (settings.darkness != kNotSent)
        setDarkness(job.out, job.log, settings.darkness, FilterVariant::Tessoral);
    if (settings.mediaType != kNotSent)
        setMediaType(job.out, job.log, settings.printMode, settings.mediaType, settings.darkness,
                     FilterVariant::Tessoral);
}

// Ends the job: closes the log and the image-buffer file (kept open until here; nothing is
// written to it) and hands the exit status back.
int endJob(TessoralJob& job, FILE* imageBufferFile, int status)
{
    closeLogFile(job.log);
    if (imageBufferFile != nullptr)
        std::fclose(imageBufferFile);
    std::fflush(job.out);
    return status;
}

}  // namespace

int runTessoral(int argc, char* argv[], int rasterFd, FILE* out)
{
    FILE* log = openLogFile(pb::rootedPath(kFilterLogPath).c_str());
    FILE* imageBufferFile = std::fopen(pb::rootedPath(kImageBufferFilePath).c_str(), "a");
    logJobStart(log, argc, argv);

    const std::string model = argc > 0 && argv[0] != nullptr ? modelNameForJob(argv[0], log) : std::string();
    const char* queueName = argc > 0 && argv[0] != nullptr ? model.c_str() : nullptr;
    const std::array<std::string_view, 1> fixedPageModel{"T53"};
    TessoralJob job{out, log, nameContainsAny(queueName, fixedPageModel),
                    tessoralModelSettings(queueName != nullptr ? queueName : ""), {}, {}, {}};
    if (argc >= 6)
        parse_and_get_user_selected_options(argv[5], &job.settings.printMode, &job.settings.mediaType,
                                            &job.settings.darkness, log, FilterVariant::Tessoral);
    else
        printLog(log, "No user options provided\n");
    writeJobStart(job, queueName);

    RasterInput input(rasterFd);
    cups_raster_t* raster = input.open();
    if (raster == nullptr) {
        printLog(log, "Tandle Custom Filter failed to open raster.\n");
        return endJob(job, imageBufferFile, 1);
    }
    printLog(log, "Tandle Custom Filter cupsRasterReadHeader2.\n");
    RasterPageReader reader(raster);
    cups_page_header2_t header;
    while (reader.readHeader(header)) {
        if (printPage(job, reader, header) == PageResult::OutOfMemory) {
            cupsRasterClose(raster);
            return endJob(job, imageBufferFile, 1);
        }
    }
    cupsRasterClose(raster);
    printLog(log, "Custom Filter executed successfully.\n");
    return endJob(job, imageBufferFile, reader.finish());
}

}  // namespace filter
