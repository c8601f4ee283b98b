// The job settings of both filters: model rules from the queue name and the user's options.
#include "filter/JobSettings.h"

#include "filter/FilterLog.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace filter {

namespace {

std::string lowerCopy(const char* text)
{
    std::string copy(text);
    for (char& c : copy)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return copy;
}

// Empty parts are unused slots and never match.
template <typename Parts>
bool containsAny(std::string_view name, const Parts& parts)
{
    for (std::string_view part : parts)
        if (!part.empty() && name.find(part) != std::string_view::npos)
            return true;
    return false;
}

struct ModelRule {
    std::array<std::string_view, 3> nameParts;
    int mediaType;
    int darkness;
    int printMode;
};

// First matching row wins; a name matching no row keeps the defaults of the caller.
const ModelRule* firstMatch(std::string_view name, const ModelRule* rules, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (containsAny(name, rules[i].nameParts))
            return &rules[i];
    return nullptr;
}

constexpr int kKeep = 3;  // vellumar's rules leave the print mode at its default

const ModelRule kVellumarRules[] = {
    {{"ZOR21", "ZOR22"}, 3, 3, kKeep},
    {{"E58"}, 0, 1, kKeep},
    {{"KRV38"}, 1, 1, kKeep},
    {{"HM_"}, 0, 1, kKeep},
    {{"VQ"}, 0, 1, kKeep},
};

const ModelRule kTessoralRules[] = {
    {{"V21", "ZOR22", "V27"}, 3, 3, 3},
    {{"E58"}, 0, 2, 3},
    {{"V24", "ZOR21"}, 3, 2, 0},
};

JobSettings applyRules(std::string_view name, const ModelRule* rules, std::size_t count, JobSettings settings)
{
    if (const ModelRule* rule = firstMatch(name, rules, count)) {
        settings.mediaType = rule->mediaType;
        settings.darkness = rule->darkness;
        settings.printMode = rule->printMode;
    }
    return settings;
}

bool hasPrefix(const char* word, const char* prefix)
{
    return std::strncmp(word, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

int checkPrinterPrefix(const char* name, const char* const* prefixes, int count, const char* logPath)
{
    if (name == nullptr)
        return 0;
    FILE* log = openLogFile(logPath);
    printLog(log, "Checking printer name: '%s'\n", name);
    const std::string lowerName = lowerCopy(name);
    int match = 0;
    for (int i = 0; i < count && match == 0; ++i) {
        if (prefixes[i] == nullptr)
            continue;
        printLog(log, "Comparing with prefix: '%s'\n", prefixes[i]);
        if (lowerName.find(lowerCopy(prefixes[i])) != std::string::npos) {
            printLog(log, "Match found for prefix: '%s'\n", prefixes[i]);
            match = 1;
        }
    }
    if (match == 0)
        printLog(log, "No matching prefix found for printer: '%s'\n", name);
    closeLogFile(log);
    return match;
}

JobSettings vellumarModelSettings(std::string_view queueName)
{
    JobSettings settings = applyRules(queueName, kVellumarRules, std::size(kVellumarRules), JobSettings{});
    if (containsAny(queueName, std::array<std::string_view, 2>{"BX940", "B740"})) {
        settings.initFamily = 1;
        settings.printMode = 0;
    }
    return settings;
}

JobSettings tessoralModelSettings(std::string_view queueName)
{
    JobSettings defaults;
    defaults.darkness = 2;
    return applyRules(queueName, kTessoralRules, std::size(kTessoralRules), defaults);
}

int parseOptionNumber(const char* text)
{
    // strtol saturates at LONG_MIN/LONG_MAX; the conversion to int keeps the low 32 bits,
    // which is what atoi yields on this platform where it is defined at all.
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

void parse_and_get_user_selected_options(const char* options, int* printMode, int* mediaType, int* darkness,
                                         FILE* log, FilterVariant variant)
{
    std::string copy = options != nullptr ? options : "";
    char* rest = nullptr;
    char* word = strtok_r(copy.data(), " ", &rest);
    while (word != nullptr) {
        if (hasPrefix(word, "PrintMode=")) {
            *printMode = parseOptionNumber(word + 10);
        } else if (hasPrefix(word, "MediaType=")) {
            *mediaType = parseOptionNumber(word + 10);
        } else if (hasPrefix(word, "Darkness=")) {
            const int level = parseOptionNumber(word + 9);
            // vellumar's users count levels from 1; wrap-around keeps INT_MIN defined.
            *darkness = variant == FilterVariant::Vellumar ? static_cast<int>(static_cast<unsigned>(level) - 1u)
                                                           : level;
        }
        word = strtok_r(nullptr, " ", &rest);
        if (variant == FilterVariant::Tessoral)
            printLog(log, "Parsed user options %s:\n", word != nullptr ? word : "(null)");
    }
    printLog(log, "Parsed user options:\n");
    printLog(log, "  MediaType: %d\n", *mediaType);
    printLog(log, "  Darkness: %d\n", *darkness);
}

}  // namespace filter
