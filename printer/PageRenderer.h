// Pictures of printed pages: a decoded page as a PNG image.
#pragma once

#include "printer/DecodedPage.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace printer {

// Encodes `page` as a 1-bit greyscale PNG, widthPixels() x rows() pixels, a black pixel
// for every 1 bit. Returns nullopt for an empty page (a PNG cannot have zero rows or
// columns) and sets `error` then, or when libpng fails.
std::optional<std::vector<std::uint8_t>> encodePagePng(const DecodedPage& page, std::string& error);

// Encodes `page` and writes it to `path`, replacing any file there. False, with `error`
// set, for an empty page or when the file cannot be written.
bool writePagePng(const DecodedPage& page, const std::filesystem::path& path, std::string& error);

}  // namespace printer
