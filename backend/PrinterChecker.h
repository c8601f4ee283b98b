// The printer models the backend serves: which model a printer name belongs to, and whether
// any CUPS queue belongs to a served model.
#pragma once

#include "common/ChildProcess.h"

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

namespace backend {

class PrinterChecker {
public:
    // Searched in this order, by case-sensitive substring; the first entry found wins, so an
    // entry placed behind one of its own substrings ("QMT53H" behind "QMT53") never wins.
    static constexpr std::array<std::string_view, 24> whitelist = {
        "QMT53", "QMT53H",  "ZOR21", "QMV27", "ZOR22",  "WMV24", "HM_B58", "QMV24",
        "HM_E58", "HM_5846", "QMF58", "QMT53", "HM_T59S", "VQB7H", "KRV38",  "HM_W7",
        "HM_E7S", "HM_E7",  "VQN4",  "KRT61", "KRT64",  "BX9",   "BX940",  "YF-316",
    };
    static constexpr std::string_view kDefaultModel = "Pelltandle";

    // `lpstatPath` is run with "-v" in the C locale. `console` gets the line about a failed
    // start. Neither collaborator is owned.
    PrinterChecker(pb::ProcessRunner& processes, std::string lpstatPath, std::FILE* console);
    static PrinterChecker& shared();

    // The model of a printer name; kDefaultModel when no entry occurs in it.
    static std::string_view checkForWhitelistedPrinters(std::string_view printerName);

    // True when the CUPS queue list ("lpstat -v") mentions any served model. An lpstat that
    // cannot start, or fails (no queues: exit status 1), counts as no match.
    bool checkForWhitelistedPrinters();

private:
    pb::ProcessRunner& processes_;
    std::string lpstatPath_;
    std::FILE* console_;
};

}  // namespace backend
