// Grey pages for the raster writer: read from PGM (P5) files or generated as test patterns.
#include "tools/raster-writer/GreyPage.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace rasterwriter {

namespace {

constexpr unsigned kMaxPgmValue = 65535;

// Reads the white-space and comment separated numbers of a PGM header.
class PgmCursor {
public:
    explicit PgmCursor(std::string_view bytes) : bytes_(bytes) {}

    bool atEnd() const { return pos_ >= bytes_.size(); }
    std::size_t position() const { return pos_; }
    void advance(std::size_t count) { pos_ += count; }
    std::string_view rest() const { return bytes_.substr(pos_); }

    void skipSpaceAndComments()
    {
        while (pos_ < bytes_.size()) {
            if (bytes_[pos_] == '#') {
                while (pos_ < bytes_.size() && bytes_[pos_] != '\n')
                    ++pos_;
            } else if (std::isspace(static_cast<unsigned char>(bytes_[pos_]))) {
                ++pos_;
            } else {
                return;
            }
        }
    }

    std::optional<unsigned> number()
    {
        skipSpaceAndComments();
        unsigned long value = 0;
        std::size_t digits = 0;
        while (pos_ < bytes_.size() && std::isdigit(static_cast<unsigned char>(bytes_[pos_])) && digits < 10) {
            value = value * 10 + static_cast<unsigned>(bytes_[pos_] - '0');
            ++pos_;
            ++digits;
        }
        if (digits == 0 || value > 0xFFFFFFFFul)
            return std::nullopt;
        return static_cast<unsigned>(value);
    }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

std::optional<GreyPage> parseOne(PgmCursor& cursor, std::string& error)
{
    if (cursor.rest().substr(0, 2) != "P5") {
        error = "not a binary PGM (P5) image";
        return std::nullopt;
    }
    cursor.advance(2);
    const auto width = cursor.number();
    const auto height = cursor.number();
    const auto maxValue = cursor.number();
    if (!width || !height || !maxValue || *width == 0 || *height == 0 || *maxValue == 0 || *maxValue > kMaxPgmValue) {
        error = "malformed PGM header";
        return std::nullopt;
    }
    if (std::uint64_t{*width} * *height > kMaxPageSamples) {
        error = "PGM image too large";
        return std::nullopt;
    }
    // Exactly one white-space byte separates the header from the samples.
    cursor.advance(1);
    const std::size_t bytesPerSample = *maxValue > 255 ? 2 : 1;
    const std::size_t count = std::size_t{*width} * *height;
    const std::string_view data = cursor.rest();
    if (cursor.atEnd() || data.size() < count * bytesPerSample) {
        error = "PGM image data ends early";
        return std::nullopt;
    }
    GreyPage page{static_cast<int>(*width), static_cast<int>(*height), std::vector<std::uint8_t>(count)};
    for (std::size_t i = 0; i < count; ++i) {
        unsigned value = static_cast<unsigned char>(data[i * bytesPerSample]);
        if (bytesPerSample == 2)
            value = value << 8 | static_cast<unsigned char>(data[i * 2 + 1]);
        value = std::min(value, *maxValue);
        page.samples[i] = static_cast<std::uint8_t>((value * 255u + *maxValue / 2) / *maxValue);
    }
    cursor.advance(count * bytesPerSample);
    return page;
}

void fillRect(GreyPage& page, int x0, int y0, int x1, int y1, std::uint8_t value)
{
    x0 = std::clamp(x0, 0, page.width);
    x1 = std::clamp(x1, 0, page.width);
    y0 = std::clamp(y0, 0, page.height);
    y1 = std::clamp(y1, 0, page.height);
    for (int y = y0; y < y1; ++y)
        std::fill_n(page.samples.begin() + static_cast<std::ptrdiff_t>(y) * page.width + x0, std::max(0, x1 - x0), value);
}

void set(GreyPage& page, int x, int y, std::uint8_t value)
{
    if (x >= 0 && y >= 0 && x < page.width && y < page.height)
        page.samples[static_cast<std::size_t>(y) * page.width + x] = value;
}

// White page; a bold frame, a filled square and disc in the top half; one-pixel lines
// (a fan and a grid) in the middle; a black-to-white gradient band at the bottom.
void drawSample(GreyPage& page)
{
    const int w = page.width, h = page.height;
    const int bold = std::max(2, std::min(w, h) / 40);
    fillRect(page, 0, 0, w, bold, 0);
    fillRect(page, 0, h - bold, w, h, 0);
    fillRect(page, 0, 0, bold, h, 0);
    fillRect(page, w - bold, 0, w, h, 0);
    fillRect(page, w / 10, h / 10, w * 4 / 10, h * 3 / 10, 0);
    const int cx = w * 7 / 10, cy = h / 5, r = std::min(w, h) / 8;
    for (int y = cy - r; y <= cy + r; ++y)
        for (int x = cx - r; x <= cx + r; ++x)
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r)
                set(page, x, y, 0);
    const int top = h * 35 / 100, bottom = h * 65 / 100;
    for (int i = 0; i <= 8; ++i)  // a fan of fine lines
        for (int y = top; y < bottom; ++y)
            set(page, w / 10 + (y - top) * i / 8, y, 0);
    for (int x = w / 2; x < w * 9 / 10; x += 4)  // a grid of fine lines
        for (int y = top; y < bottom; ++y)
            set(page, x, y, 0);
    for (int y = top; y < bottom; y += 4)
        for (int x = w / 2; x < w * 9 / 10; ++x)
            set(page, x, y, 0);
    for (int y = h * 75 / 100; y < h * 90 / 100; ++y)
        for (int x = bold; x < w - bold; ++x)
            set(page, x, y, static_cast<std::uint8_t>(255 * (x - bold) / std::max(1, w - 2 * bold - 1)));
}

}  // namespace

std::optional<std::vector<GreyPage>> parsePgm(std::string_view bytes, std::string& error)
{
    std::vector<GreyPage> pages;
    PgmCursor cursor(bytes);
    do {
        auto page = parseOne(cursor, error);
        if (!page)
            return std::nullopt;
        pages.push_back(std::move(*page));
        cursor.skipSpaceAndComments();
    } while (!cursor.atEnd());
    return pages;
}

std::string encodePgm(const GreyPage& page)
{
    std::string text = "P5\n" + std::to_string(page.width) + " " + std::to_string(page.height) + "\n255\n";
    text.append(page.samples.begin(), page.samples.end());
    return text;
}

std::optional<Pattern> patternFromName(std::string_view name)
{
    if (name == "sample")
        return Pattern::Sample;
    if (name == "gradient")
        return Pattern::Gradient;
    if (name == "white")
        return Pattern::White;
    if (name == "black")
        return Pattern::Black;
    if (name == "checker")
        return Pattern::Checker;
    return std::nullopt;
}

GreyPage generatePattern(Pattern pattern, int width, int height)
{
    GreyPage page{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height, 255)};
    switch (pattern) {
    case Pattern::Sample:
        drawSample(page);
        break;
    case Pattern::Gradient:
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                set(page, x, y, static_cast<std::uint8_t>(width > 1 ? 255 * x / (width - 1) : 0));
        break;
    case Pattern::White:
        break;
    case Pattern::Black:
        std::fill(page.samples.begin(), page.samples.end(), 0);
        break;
    case Pattern::Checker:
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                set(page, x, y, ((x / 8 + y / 8) % 2 == 0) ? 0 : 255);
        break;
    }
    return page;
}

}  // namespace rasterwriter
