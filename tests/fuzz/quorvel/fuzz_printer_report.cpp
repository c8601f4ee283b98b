// Fuzzes the decoding of a printer's notification values: every reading stays in its range.
#include "quorvel/PrinterReports.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const ble::Bytes value(data, data + size);
    const int credit = quorvel::creditWith(value);
    const int mtu = quorvel::mtuWith(value);
    const std::optional<int> status = quorvel::statusCodeWith(value);
    (void)quorvel::isErrorReport(value);
    if (credit < 0 || credit > 0xFF || mtu < 0 || mtu > 0xFFFF || (status && (*status < 1 || *status > 5)))
        std::abort();
    if ((credit != 0 && size != quorvel::kCreditReportLength) || (mtu != 0 && size != quorvel::kMtuReportLength))
        std::abort();
    return 0;
}
