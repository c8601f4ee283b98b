#include "filter/PpdModel.h"

#include "filter/FilterLog.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace filter {

namespace {

// PPDs run to some tens of kilobytes; the device ID sits in their first lines.
constexpr std::streamsize kMaxPpdBytes = 1 << 20;
constexpr std::size_t kMaxModelLength = 64;

}  // namespace

std::optional<std::string> modelInPpd(std::string_view text)
{
    constexpr std::string_view kKey = "*1284DeviceID:";
    std::size_t line = 0;
    while (line < text.size()) {
        const std::size_t end = std::min(text.find('\n', line), text.size());
        const std::string_view entry = text.substr(line, end - line);
        line = end + 1;
        if (!entry.starts_with(kKey))
            continue;
        const std::size_t mdl = entry.find("MDL:");
        if (mdl == std::string_view::npos)
            return std::nullopt;
        const std::string_view value = entry.substr(mdl + 4, entry.find_first_of(";\"", mdl + 4) - (mdl + 4));
        if (value.empty() || value.size() > kMaxModelLength)
            return std::nullopt;
        for (char c : value)
            if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E)
                return std::nullopt;
        return std::string(value);
    }
    return std::nullopt;
}

std::string modelNameForJob(const char* queueName, FILE* log)
{
    const std::string queue = queueName != nullptr ? queueName : "";
    const char* ppdPath = std::getenv("PPD");
    if (ppdPath == nullptr)
        return queue;
    std::ifstream file(ppdPath, std::ios::binary);
    std::string text(static_cast<std::size_t>(kMaxPpdBytes), '\0');
    file.read(text.data(), kMaxPpdBytes);
    text.resize(static_cast<std::size_t>(file.gcount()));
    const auto model = modelInPpd(text);
    if (!model || queue.find(*model) != std::string::npos)
        return queue;
    printLog(log, "Queue %s does not name its printer's model; using %s from its PPD\n", queue.c_str(), model->c_str());
    return *model;
}

}  // namespace filter
