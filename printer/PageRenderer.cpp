// Pictures of printed pages: a decoded page as a PNG image.
#include "printer/PageRenderer.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>

namespace printer {

namespace {

// What libpng's callbacks reach through their user pointers. Plain data only: libpng
// reports errors with longjmp, which must not skip a C++ destructor.
struct EncodeContext {
    std::vector<std::uint8_t>* output = nullptr;
    char message[200] = "";
};

void onPngError(png_structp png, png_const_charp message)
{
    auto* context = static_cast<EncodeContext*>(png_get_error_ptr(png));
    std::snprintf(context->message, sizeof context->message, "%s", message);
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

void onPngWrite(png_structp png, png_bytep data, png_size_t length)
{
    auto* context = static_cast<EncodeContext*>(png_get_io_ptr(png));
    try {
        context->output->insert(context->output->end(), data, data + length);
    } catch (const std::bad_alloc&) {
        png_error(png, "out of memory for the PNG data");
    }
}

void onPngFlush(png_structp) {}

// Only objects without destructors live in this frame, so a longjmp out of libpng is safe.
bool writeRows(png_structp png, png_infop info, const DecodedPage& page, std::uint8_t* rowBuffer)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, page.widthPixels(), page.rows(), 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Row filters gain nothing on one-bit images and cost time on large pages.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_write_info(png, info);
    const std::uint8_t* source = page.packed.data();
    for (std::uint32_t y = 0; y < page.rows(); ++y, source += page.bytesPerRow) {
        // In a grey PNG a 1 bit is white; on the page a 1 bit is a black dot.
        for (std::uint32_t i = 0; i < page.bytesPerRow; ++i)
            rowBuffer[i] = static_cast<std::uint8_t>(~source[i]);
        png_write_row(png, rowBuffer);
    }
    png_write_end(png, info);
    return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodePagePng(const DecodedPage& page, std::string& error)
{
    if (page.rows() == 0) {
        error = "page " + std::to_string(page.number) + " has no rows to draw";
        return std::nullopt;
    }
    std::vector<std::uint8_t> output;
    std::vector<std::uint8_t> rowBuffer(page.bytesPerRow);
    EncodeContext context;
    context.output = &output;

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &context, onPngError, onPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        error = "libpng could not start a PNG";
        return std::nullopt;
    }
    png_set_write_fn(png, &context, onPngWrite, onPngFlush);
    const bool written = writeRows(png, info, page, rowBuffer.data());
    png_destroy_write_struct(&png, &info);
    if (!written) {
        error = std::string("libpng: ") + context.message;
        return std::nullopt;
    }
    return output;
}

bool writePagePng(const DecodedPage& page, const std::filesystem::path& path, std::string& error)
{
    const auto png = encodePagePng(page, error);
    if (!png)
        return false;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(png->data()), static_cast<std::streamsize>(png->size()));
    file.close();
    if (!file) {
        error = "cannot write " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace printer
