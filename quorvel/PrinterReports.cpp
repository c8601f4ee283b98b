// Decoding of the values a printer notifies: credit, MTU, status and error reports.
#include "quorvel/PrinterReports.h"

#include "common/Words.h"

#include <string_view>

namespace quorvel {

namespace {

constexpr std::string_view kErrorReportPrefix = "er";
constexpr int kUnknownStatusCode = 5;

}  // namespace

int creditWith(const ble::Bytes& value) {
    if (value.size() != kCreditReportLength || value[0] != kCreditReportByte) return 0;
    return value[1];
}

int mtuWith(const ble::Bytes& value) {
    if (value.size() != kMtuReportLength || value[0] != kMtuReportByte) return 0;
    return value[1] + 256 * value[2];
}

std::optional<int> statusCodeWith(const ble::Bytes& value) {
    if (value.size() != kStatusReportLength || value[0] != kStatusReportByte) return std::nullopt;
    // The printer numbers "ready" and "busy" the other way round from the codes clients know.
    switch (value[1]) {
        case 1: return 2;
        case 2: return 1;
        case 3: return 3;
        case 4: return 4;
        default: return kUnknownStatusCode;
    }
}

bool isErrorReport(const ble::Bytes& value) {
    const std::string_view text(reinterpret_cast<const char*>(value.data()), value.size());
    return text.starts_with(kErrorReportPrefix) && pb::isValidUtf8(text);
}

PrinterError deviceDataError() {
    return {std::string(kPrinterErrorDomain), kDeviceDataErrorCode, std::string(kDeviceDataErrorText)};
}

PrinterError printFailedError(int statusCode) {
    return {std::string(kPrinterErrorDomain), statusCode, std::string(kPrintFailedText)};
}

}  // namespace quorvel
