// Writers of the printer commands: build the bytes, write them to the job's output, log the step.
#include "filter/CommandWriters.h"

#include "filter/FilterLog.h"
#include "filter/PrinterCommands.h"

#include <cstdlib>
#include <cstring>

namespace filter {

void writeDataToStdoutAndFile(FILE* out, FILE* log, const char* path, const std::uint8_t* bytes,
                              std::size_t length)
{
    std::fwrite(bytes, 1, length, out);
    writeDataToFile(log, path, bytes, length);
}

void writeDataToFile(FILE* /*log*/, const char* /*path*/, const std::uint8_t* /*bytes*/, std::size_t /*count*/)
{
}

void writeCommand(FILE* out, FILE* log, FilterVariant variant, const std::uint8_t* bytes, std::size_t length)
{
    if (variant == FilterVariant::Tessoral)
        writeDataToStdoutAndFile(out, log, kImageBufferFilePath, bytes, length);
    else
        std::fwrite(bytes, 1, length, out);
}

void setDarkness(FILE* out, FILE* log, int darkness, FilterVariant variant)
{
    // tessoral's builder subtracts 1; unsigned arithmetic keeps INT_MIN defined (only the low
    // byte is sent anyway).
    const int level = variant == FilterVariant::Tessoral
                          ? static_cast<int>(static_cast<unsigned>(darkness) - 1u)
                          : darkness;
    const Bytes command = createDarknessHeader(level);
    writeCommand(out, log, variant, command.data(), command.size());
    printLog(log, "Darkness command sent successfully.\n");
}

void setMediaType(FILE* out, FILE* log, int /*printMode*/, int mediaType, int darkness, FilterVariant variant)
{
    const bool vellumar = variant == FilterVariant::Vellumar;
    if (vellumar)
        printLog(log, "media type: %d, and dark:%d\n", mediaType, darkness);
    const std::optional<std::uint8_t> code = mediaCodeForIndex(mediaType);
    if (!code) {
        printLog(log, "Unknown media type\n");
        return;
    }
    if (!vellumar && (mediaType == 1 || mediaType == 2))
        sendHexExitPaperCommand(out, log, variant);

    const MediaCommandKind kind = vellumar ? MediaCommandKind::Vellumar : MediaCommandKind::Tessoral;
    const Bytes command = createMediaTypeHeader(*code, kind);
    writeCommand(out, log, variant, command.data(), command.size());
    if (vellumar) {
        std::fflush(out);
        printHexData(log, "Print Media Type", command.data(), command.size());
    }
    // The command bytes themselves stand in the message, exactly four of them (none is zero).
    printLog(log, "mediaType command sent successfully %.*s\n", static_cast<int>(command.size()),
             reinterpret_cast<const char*>(command.data()));
    std::fputc(kLineFeed, out);
}

void sendHexExitPaperCommand(FILE* out, FILE* log, FilterVariant variant)
{
    const std::size_t written = std::fwrite(kExitPaperCommand.data(), 1, kExitPaperCommand.size(), out);
    if (variant == FilterVariant::Tessoral)
        writeDataToFile(log, kImageBufferFilePath, kExitPaperCommand.data(), kExitPaperCommand.size());
    if (variant == FilterVariant::Vellumar && written < kExitPaperCommand.size()) {
        printLog(log, "Error writing command");
        std::exit(1);
    }
    printLog(log, "success ExitPaper command");
}

void sendInitializationCommands(FILE* out, FILE* log)
{
    std::fwrite(kSetKeyCommand.data(), 1, kSetKeyCommand.size(), out);
    std::fwrite(kSaveParametersCommand.data(), 1, kSaveParametersCommand.size(), out);
    printLog(log, "Sent initialization commands for BX940/B740 printer.\n");
}

void handlePrinterSpecificCommands(FILE* out, const char* printerName, int /*mediaType*/, FILE* log)
{
    const bool endJobModel =
        printerName != nullptr && (std::strstr(printerName, "KRV38") != nullptr || std::strstr(printerName, "VQN4") != nullptr);
    if (endJobModel) {
        std::fwrite(kEndJobCommand.data(), 1, kEndJobCommand.size(), out);
        printLog(log, "Sent end job command (0x1b 0xbb 0xbb) for VQN4/KRV38 printer.\n");
    } else {
        printLog(log, "Skipping end job command (0x1b 0xbb 0xbb) as printer name is not KRV38.\n");
    }
}

}  // namespace filter
