// Byte sequences of the printer command set, built without I/O.
#include "filter/PrinterCommands.h"

namespace filter {

Bytes createEnableHeader()
{
    return {0x10, 0xFF, 0xF1, 0x03};
}

Bytes createDisableHeader()
{
    return {0x10, 0xFF, 0xF1, 0x45};
}

Bytes createDarknessHeader(int level)
{
    return {0x10, 0xFF, 0x10, 0x00, static_cast<std::uint8_t>(level & 0xFF)};
}

std::optional<std::uint8_t> mediaCodeForIndex(int mediaType)
{
    constexpr std::array<std::uint8_t, 5> kCodes{0x10, 0x20, 0x30, 0x40, 0x50};
    // Compared as unsigned so that negative indexes are invalid too.
    if (static_cast<unsigned>(mediaType) >= kCodes.size())
        return std::nullopt;
    return kCodes[static_cast<unsigned>(mediaType)];
}

Bytes createMediaTypeHeader(std::uint8_t code, MediaCommandKind kind)
{
    return {0x1F, 0x80, static_cast<std::uint8_t>(kind), code};
}

Bytes createPrintHeader(int width, int height)
{
    const int bytesPerRow = (width + 7) / 8;
    return {0x1D,
            0x76,
            0x30,
            0x00,
            static_cast<std::uint8_t>(bytesPerRow % 256),
            static_cast<std::uint8_t>((bytesPerRow / 256) & 0xFF),
            static_cast<std::uint8_t>(height % 256),
            static_cast<std::uint8_t>((height / 256) & 0xFF)};
}

}  // namespace filter
