// A page as the virtual printer received it: the rows of one print-image command.
#include "printer/DecodedPage.h"

namespace printer {

std::uint32_t DecodedPage::rows() const
{
    if (bytesPerRow == 0)
        return 0;
    return static_cast<std::uint32_t>(packed.size() / bytesPerRow);
}

std::span<const std::uint8_t> DecodedPage::row(std::uint32_t y) const
{
    return std::span<const std::uint8_t>(packed).subspan(std::size_t{y} * bytesPerRow, bytesPerRow);
}

bool DecodedPage::black(std::uint32_t x, std::uint32_t y) const
{
    const std::uint8_t byte = packed[std::size_t{y} * bytesPerRow + x / 8];
    return (byte & (0x80u >> (x % 8))) != 0;
}

}  // namespace printer
