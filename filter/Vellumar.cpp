// The vellumar filter's job: CUPS raster in, the printer's command stream out.
#include "filter/Vellumar.h"

#include "common/RootPath.h"
#include "filter/CommandWriters.h"
#include "filter/FilterLog.h"
#include "filter/ImageConversion.h"
#include "filter/JobSettings.h"
#include "filter/PixelLayout.h"
#include "filter/PpdModel.h"
#include "filter/PrinterCommands.h"
#include "filter/RasterInput.h"
#include "filter/RasterPageReader.h"

#include <algorithm>
#include <string>

namespace filter {

namespace {

// vellumar prints at most this many dots across; wider pages are scaled down.
constexpr unsigned kMaxPrintWidth = 384;

struct VellumarJob {
    FILE* out;
    FILE* log;
    const char* queueName;
    JobSettings settings;
    ConversionWorkspace workspace;
};

void writeBytes(VellumarJob& job, const Bytes& bytes)
{
    std::fwrite(bytes.data(), 1, bytes.size(), job.out);
}

void logHeader(const cups_page_header2_t& header, FILE* log)
{
    printHeaderInfo(header, log);
    const int space = static_cast<int>(rawColorSpace(header));
    printLog(log, "Color Space: %d\n", space);
    if (space != CUPS_CSPACE_RGB && space != CUPS_CSPACE_RGBA && space != CUPS_CSPACE_K && space != CUPS_CSPACE_CMYK)
        printLog(log, "Unsupported color space: %d\n", space);
}

// Height in rows of a page scaled to `targetWidth`, in single precision, division first.
int targetHeightFor(unsigned width, unsigned height, int targetWidth)
{
    return static_cast<int>(static_cast<float>(height) / static_cast<float>(width) * static_cast<float>(targetWidth));
}

void writeFeed(VellumarJob& job)
{
    const int mediaType = job.settings.mediaType;
    if (job.settings.labelPrinter != 1)
        return;
    if (mediaType == 1) {
        std::fwrite(kLabelFeedCommand.data(), 1, kLabelFeedCommand.size(), job.out);
        printLog(job.log, "Sent cut/feed command (0x1d 0x0c) for label paper on KRV38 printer.\n");
    } else if (mediaType <= 0) {
        std::fwrite(kContinuousFeedCommand.data(), 1, kContinuousFeedCommand.size(), job.out);
        printLog(job.log, "Sent feed command (0x1b 0x4a 0x60) for continuous paper on KRV38 printer.\n");
    }
}

// The frame of one page read in full: enable or initialisation, media type, image, feed, disable.
void writePage(VellumarJob& job, const cups_page_header2_t& header, const std::uint8_t* samples)
{
    JobSettings& settings = job.settings;
    if (settings.initFamily != 1) {
        writeBytes(job, createEnableHeader());
        printLog(job.log, "Enable command sent successfully.\n");
    } else {
        sendInitializationCommands(job.out, job.log);
        settings.mediaType = kNotSent;
    }
    if (settings.mediaType != kNotSent)
        setMediaType(job.out, job.log, settings.printMode, settings.mediaType, settings.darkness,
                     FilterVariant::Vellumar);

    const int width = static_cast<int>(header.cupsWidth);
    const int height = static_cast<int>(header.cupsHeight);
    const int targetWidth = static_cast<int>(std::min(header.cupsWidth, kMaxPrintWidth));
    const int targetHeight = targetHeightFor(header.cupsWidth, header.cupsHeight, targetWidth);
    processImage(job.out, job.log, samples, width, height, targetWidth, targetHeight, settings.printMode,
                 job.workspace);

    writeFeed(job);
    if (settings.initFamily != 1) {
        writeBytes(job, createDisableHeader());
        printLog(job.log, "Disable command sent successfully.\n");
    }
}

// The job's exit status (RasterPageReader::finish).
int printPages(VellumarJob& job, cups_raster_t* raster)
{
    RasterPageReader reader(raster);
    cups_page_header2_t header;
    while (reader.readHeader(header)) {
        logHeader(header, job.log);
        if (!reader.acceptPage(header, job.log))
            continue;
        if (!reader.allocatePage(header)) {
            printLog(job.log, "Failed to allocate memory for line buffer.\n");
            reader.skipPage(header);
            continue;
        }
        if (!reader.readPage(header, job.log))
            continue;
        writePage(job, header, reader.samples());
    }
    return reader.finish();
}

JobSettings settingsFor(int argc, char* argv[], const char* queueName, const std::string& logPath, FILE* log)
{
    const int labelPrinter =
        checkPrinterPrefix(queueName, labelPrinterPrefixes.data(), numLabelPrinterPrefixes, logPath.c_str());
    JobSettings settings = vellumarModelSettings(queueName != nullptr ? queueName : "");
    settings.labelPrinter = labelPrinter;
    if (argc >= 6)
        parse_and_get_user_selected_options(argv[5], &settings.printMode, &settings.mediaType, &settings.darkness,
                                            log, FilterVariant::Vellumar);
    else
        printLog(log, "No user options provided\n");
    return settings;
}

}  // namespace

int runVellumar(int argc, char* argv[], int rasterFd, FILE* out)
{
    const std::string logPath = pb::rootedPath(kFilterLogPath);
    FILE* log = openLogFile(logPath.c_str());
    logJobStart(log, argc, argv);

    const std::string model = argc > 0 && argv[0] != nullptr ? modelNameForJob(argv[0], log) : std::string();
    const char* queueName = argc > 0 && argv[0] != nullptr ? model.c_str() : nullptr;
    VellumarJob job{out, log, queueName, settingsFor(argc, argv, queueName, logPath, log), {}};
    if (job.settings.darkness != kNotSent)
        setDarkness(out, log, job.settings.darkness, FilterVariant::Vellumar);

    RasterInput input(rasterFd);
    cups_raster_t* raster = input.open();
    if (raster == nullptr) {
        printLog(log, "Tandle Custom Filter failed to open raster input stream.\n");
        closeLogFile(log);
        std::fflush(out);
        return 1;
    }
    const int status = printPages(job, raster);
    handlePrinterSpecificCommands(out, queueName, job.settings.mediaType, log);

    cupsRasterClose(raster);
    printLog(log, "Custom Filter executed successfully.\n");
    closeLogFile(log);
    std::fflush(out);
    return status;
}

}  // namespace filter
