// The printer models the backend serves.
#include "backend/PrinterChecker.h"

#include "common/Paths.h"
#include "common/RootPath.h"
#include "common/Words.h"

namespace backend {

PrinterChecker::PrinterChecker(pb::ProcessRunner& processes, std::string lpstatPath, std::FILE* console)
    : processes_(processes), lpstatPath_(std::move(lpstatPath)), console_(console)
{
}

PrinterChecker& PrinterChecker::shared()
{
    static pb::PosixProcessRunner* runner = new pb::PosixProcessRunner();
    static PrinterChecker* instance = new PrinterChecker(*runner, pb::rootedPath(pb::kLpstatPath), stdout);
    return *instance;
}

std::string_view PrinterChecker::checkForWhitelistedPrinters(std::string_view printerName)
{
    for (std::string_view model : whitelist) {
        if (printerName.find(model) != std::string_view::npos)
            return model;
    }
    return kDefaultModel;
}

bool PrinterChecker::checkForWhitelistedPrinters()
{
    pb::CommandResult result = processes_.run({lpstatPath_, {"-v"}, {pb::kCLocaleOverride}});
    if (!result.started) {
        std::fprintf(console_, "Error running lpstat command: %s\n", result.error.c_str());
        std::fflush(console_);
        return false;
    }
    // Undecodable output counts as no queues.
    if (!pb::isValidUtf8(result.output))
        return false;
    for (std::string_view model : whitelist) {
        if (result.output.find(model) != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace backend
