// pb-raster-writer: writes CUPS raster from PGM (P5) files or generated patterns.
#include "common/Version.h"
#include "tools/raster-writer/GreyPage.h"
#include "tools/raster-writer/RasterWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: pb-raster-writer [options] [PGM-FILE...]\n"
    "  --pattern sample|gradient|white|black|checker   generate pages instead of reading PGM files\n"
    "  --width W --height H    size of generated pages (default 384 x 533)\n"
    "  --pages N               number of generated pages (default 1)\n"
    "  --layout grey8|grey1|k8|k1|rgb24   how pixels are stored (default grey8)\n"
    "  --resolution DPI        resolution in the page headers (default 203)\n"
    "  --compressed            write the compressed stream (RaS2) instead of the plain one (RaS3)\n"
    "  -o FILE                 write to FILE instead of standard output\n"
    "  --version               print the version and exit\n"
    "Every P5 image of every PGM file becomes one page, in order.\n";

constexpr const char* kVersionRequest = "--version";

struct Options {
    std::optional<rasterwriter::Pattern> pattern;
    int width = 384;
    int height = 533;
    int pages = 1;
    rasterwriter::RasterLayout layout = rasterwriter::RasterLayout::Grey8;
    unsigned resolution = rasterwriter::kDefaultResolution;
    std::string output;
    bool compressed = false;
    std::vector<std::string> files;
};

int fail(const std::string& message)
{
    std::fprintf(stderr, "pb-raster-writer: %s\n", message.c_str());
    return 2;
}

bool positiveNumber(const char* text, int& value)
{
    char* end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || number <= 0 || number > 1000000)
        return false;
    value = static_cast<int>(number);
    return true;
}

// Fills `options` from the command line; an error message, or empty when all is well.
std::string parseArguments(int argc, char* argv[], Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        int number = 0;
        if (arg == "-h" || arg == "--help")
            return kUsage;
        if (arg == "--version")
            return kVersionRequest;
        if (arg == "--compressed") {
            options.compressed = true;
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-' && !hasValue)
            return "option " + arg + " needs a value";
        if (arg == "--pattern") {
            options.pattern = rasterwriter::patternFromName(argv[++i]);
            if (!options.pattern)
                return std::string("unknown pattern ") + argv[i];
        } else if (arg == "--layout") {
            const auto layout = rasterwriter::layoutFromName(argv[++i]);
            if (!layout)
                return std::string("unknown layout ") + argv[i];
            options.layout = *layout;
        } else if (arg == "--width" || arg == "--height" || arg == "--pages" || arg == "--resolution") {
            if (!positiveNumber(argv[++i], number))
                return arg + " needs a positive number";
            if (arg == "--width")
                options.width = number;
            else if (arg == "--height")
                options.height = number;
            else if (arg == "--pages")
                options.pages = number;
            else
                options.resolution = static_cast<unsigned>(number);
        } else if (arg == "-o") {
            options.output = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option " + arg;
        } else {
            options.files.push_back(arg);
        }
    }
    if (options.pattern.has_value() == !options.files.empty())
        return "give either --pattern or PGM files";
    if (std::size_t(options.width) * std::size_t(options.height) > rasterwriter::kMaxPageSamples)
        return "page too large";
    return {};
}

bool collectPages(const Options& options, std::vector<rasterwriter::RasterPage>& pages, std::string& error)
{
    if (options.pattern) {
        const auto page = rasterwriter::generatePattern(*options.pattern, options.width, options.height);
        for (int i = 0; i < options.pages; ++i)
            pages.push_back(rasterwriter::encodePage(page, options.layout, options.resolution));
        return true;
    }
    for (const std::string& file : options.files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            error = "cannot read " + file;
            return false;
        }
        std::stringstream content;
        content << in.rdbuf();
        const auto images = rasterwriter::parsePgm(content.str(), error);
        if (!images) {
            error = file + ": " + error;
            return false;
        }
        for (const auto& image : *images)
            pages.push_back(rasterwriter::encodePage(image, options.layout, options.resolution));
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    Options options;
    const std::string problem = parseArguments(argc, argv, options);
    if (problem == kUsage) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (problem == kVersionRequest) {
        std::printf("pb-raster-writer %s\n", pb::kVersion);
        return 0;
    }
    if (!problem.empty())
        return fail(problem + "\n" + kUsage);

    std::vector<rasterwriter::RasterPage> pages;
    std::string error;
    if (!collectPages(options, pages, error))
        return fail(error);

    int fd = STDOUT_FILENO;
    if (!options.output.empty()) {
        fd = open(options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return fail("cannot write " + options.output);
    }
    const bool written = rasterwriter::writeRaster(fd, pages, options.compressed);
    if (fd != STDOUT_FILENO && close(fd) != 0)
        return fail("cannot write " + options.output);
    return written ? 0 : fail("libcups could not write the raster");
}
