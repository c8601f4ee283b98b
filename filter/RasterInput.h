// The filters' raster input: libcups reading a file descriptor through a large block buffer.
#pragma once

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sys/types.h>

namespace filter {

// libcups asks its input for one row at a time when a page is read row by row, which on a
// plain descriptor is one read(2) per row: about half a filter's time on small pages. This
// input hands libcups the same bytes from blocks of kRasterInputBlock bytes instead; what
// libcups makes of them (pages, rows, where a truncated stream ends) does not change.
//
// Reads `fd` (not owned, not closed) from its current position; bytes read ahead are used by
// nobody else. The object must outlive the raster that open() returns.
class RasterInput {
public:
    static constexpr std::size_t kRasterInputBlock = 256 * 1024;

    explicit RasterInput(int fd) : fd_(fd) {}
    RasterInput(const RasterInput&) = delete;
    RasterInput& operator=(const RasterInput&) = delete;

    // cupsRasterOpenIO over this input for reading; null when the stream is not a raster.
    // The caller closes it with cupsRasterClose.
    cups_raster_t* open();

private:
    static ssize_t readCallback(void* context, unsigned char* data, std::size_t bytes);
    ssize_t read(unsigned char* data, std::size_t bytes);
    ssize_t readFd(unsigned char* data, std::size_t bytes) const;

    int fd_;
    std::unique_ptr<unsigned char[]> block_;
    std::size_t position_ = 0;  // next unread byte of block_
    std::size_t end_ = 0;       // bytes held in block_
};

}  // namespace filter
