// The lines CUPS reads from a backend's standard error.
#include "backend/CupsReporter.h"

namespace backend {

CupsReporter& CupsReporter::shared()
{
    static CupsReporter* instance = new CupsReporter(stderr);
    return *instance;
}

void CupsReporter::line(std::string_view prefix, std::string_view text)
{
    std::string whole(prefix);
    whole += text;
    whole += '\n';
    std::lock_guard lock(mutex_);
    std::fputs(whole.c_str(), stream_);
    std::fflush(stream_);
}

void CupsReporter::info(std::string_view text)
{
    line("INFO: ", text);
}

void CupsReporter::warning(std::string_view text)
{
    line("WARNING: ", text);
}

void CupsReporter::error(std::string_view text)
{
    line("ERROR: ", text);
}

void CupsReporter::attribute(std::string_view name, std::string_view value)
{
    line("ATTR: ", std::string(name) + "=" + std::string(value));
}

void CupsReporter::addState(std::string_view reason)
{
    {
        std::lock_guard lock(mutex_);
        reasons_.emplace(reason);
    }
    line("STATE: +", reason);
}

void CupsReporter::clearStates()
{
    std::set<std::string> reasons;
    {
        std::lock_guard lock(mutex_);
        reasons.swap(reasons_);
    }
    for (const auto& reason : reasons)
        line("STATE: -", reason);
}

}  // namespace backend
