// Byte sequences of the printer command set, built without I/O.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace filter {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::array<std::uint8_t, 2> kLabelFeedCommand{0x1D, 0x0C};
inline constexpr std::array<std::uint8_t, 3> kContinuousFeedCommand{0x1B, 0x4A, 0x60};
inline constexpr std::array<std::uint8_t, 3> kEndJobCommand{0x1B, 0xBB, 0xBB};
inline constexpr std::array<std::uint8_t, 3> kExitPaperCommand{0x1F, 0x11, 0x51};
inline constexpr std::uint8_t kLineFeed = 0x0A;
inline constexpr std::size_t kBlankPreambleLength = 128;
inline constexpr std::size_t kPrintHeaderLength = 8;

// "ESC FS & V1 setkey" CR LF then its parameter bytes, and the save-parameters command.
inline constexpr std::array<std::uint8_t, 20> kSetKeyCommand{0x1B, 0x1C, '&', ' ', 'V', '1', ' ', 's', 'e', 't',
                                                             'k',  'e',  'y', 0x0D, 0x0A, 0x01, 0xCE, 0x00, 0x01, 0x00};
inline constexpr std::array<std::uint8_t, 29> kSaveParametersCommand{
    0x1B, 0x1C, '&', ' ', 'V', '1', ' ', 'd', 'o', ' ', '"', 's', 'a', 'v', 'e',
    '_',  'p',  'a', 'r', 'a', 'm', '_', 'z', 'o', 'n', 'e', '"', 0x0D, 0x0A};

// Which media-type command a filter sends: vellumar's third byte is 01, tessoral's 02.
enum class MediaCommandKind : std::uint8_t { Vellumar = 0x01, Tessoral = 0x02 };

Bytes createEnableHeader();   // 10 FF F1 03
Bytes createDisableHeader();  // 10 FF F1 45
// 10 FF 10 00 nn, nn the low 8 bits of `level` (callers apply their own arithmetic).
Bytes createDarknessHeader(int level);
// The media code byte of index 0..4 (0x10..0x50); nothing for any other index.
std::optional<std::uint8_t> mediaCodeForIndex(int mediaType);
// 1F 80 kk cc.
Bytes createMediaTypeHeader(std::uint8_t code, MediaCommandKind kind);
// 1D 76 30 00 xL xH yL yH with x = (width + 7) / 8 bytes per row and y = height rows.
Bytes createPrintHeader(int width, int height);

}  // namespace filter
