// Reads the pages of a CUPS raster stream as 8-bit grey samples, refusing pages it cannot hold.
#pragma once

#include "filter/PixelLayout.h"

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace filter {

// The most bytes one page may take, as grey samples and as raster data; a header that
// asks for more is refused, so a hostile stream cannot make the filter allocate gigabytes.
inline constexpr std::uint64_t kMaxPageBytes = std::uint64_t{1} << 28;

// One job's page reading. Buffers are kept from page to page and only grow.
// Every page ends with all of its data consumed, printed or not: the stream stays aligned on
// the next header. A page is cupsBytesPerLine x cupsHeight bytes of data in the stream.
class RasterPageReader {
public:
    // `raster` is open for reading, not owned, and outlives the reader.
    explicit RasterPageReader(cups_raster_t* raster);

    // The next page header; false at the end of the stream (or a header libcups refuses).
    bool readHeader(cups_page_header2_t& header);

    // True when the page can be read: a size that is not zero, within kMaxPageBytes, in a
    // layout of PixelLayout. Otherwise logs one line naming the reason, skips the page's
    // data and returns false.
    bool acceptPage(const cups_page_header2_t& header, FILE* log);

    // Makes room for cupsWidth x cupsHeight samples; false when the memory cannot be had
    // (the caller logs and skips or ends the job).
    bool allocatePage(const cups_page_header2_t& header);

    // Reads every row at its real length (cupsBytesPerLine) and converts it to grey into
    // samples(). False, with one log line, when the stream ends inside the page: the page
    // is incomplete and must not be printed. Needs acceptPage and allocatePage first.
    bool readPage(const cups_page_header2_t& header, FILE* log);

    // Consumes the page's data without keeping it (stops early at the end of the stream).
    void skipPage(const cups_page_header2_t& header);

    // cupsWidth x cupsHeight grey samples of the last page read, rows back to back.
    const std::uint8_t* samples() const { return page_.data(); }

    // After the last page: when the stream ended inside a page, says so to CUPS on standard
    // error and gives the job's exit status: 0 when earlier pages were printed (a WARNING),
    // 1 when none was (an ERROR), so that a cut job is never reported as printed whole by
    // silence nor failed after it printed pages a retry would print twice.
    int finish() const;

private:
    // Grow-only memory that is not cleared: a page claimed by a header costs only the rows
    // that really arrive, so a stream that stops early does not fault in the whole page.
    class Buffer {
    public:
        void ensure(std::size_t size);  // throws std::bad_alloc
        std::uint8_t* data() const { return data_.get(); }

    private:
        std::unique_ptr<std::uint8_t[]> data_;
        std::size_t capacity_ = 0;
    };

    cups_raster_t* raster_;
    unsigned headersRead_ = 0;
    unsigned pagesRead_ = 0;
    unsigned cutPage_ = 0;  // the page the stream ended inside; 0: none
    Buffer page_;
    Buffer row_;
};

}  // namespace filter
