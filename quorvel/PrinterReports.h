// Decoding of the values a printer notifies: credit, MTU, status and error reports. No I/O.
#pragma once

#include "ble/BleTypes.h"

#include <optional>
#include <string>

namespace quorvel {

inline constexpr std::uint8_t kCreditReportByte = 0x01;
inline constexpr std::uint8_t kMtuReportByte = 0x02;
inline constexpr std::uint8_t kStatusReportByte = 0xFF;
inline constexpr std::size_t kCreditReportLength = 2;
inline constexpr std::size_t kMtuReportLength = 3;
inline constexpr std::size_t kStatusReportLength = 2;

// The error value handed to BLEPrinterManager's errorComplete hook.
inline constexpr std::string_view kPrinterErrorDomain = "com.pell.sdk";
inline constexpr int kDeviceDataErrorCode = 1001;
inline constexpr std::string_view kDeviceDataErrorText = "设备数据错误";
inline constexpr std::string_view kPrintFailedText = "打印失败";

struct PrinterError {
    std::string domain;
    int code = 0;
    std::string description;
    bool operator==(const PrinterError&) const = default;
};

// The count of a credit report (exactly 01 nn); 0 for any other value, 01 00 included.
int creditWith(const ble::Bytes& value);
// The length of an MTU report (exactly 02 lo hi, little-endian); 0 for any other value.
int mtuWith(const ble::Bytes& value);
// The status code of a status report (exactly FF ss): 1→2, 2→1, 3→3, 4→4, anything else 5;
// empty for any other value.
std::optional<int> statusCodeWith(const ble::Bytes& value);
// True when the value is UTF-8 text that begins with "er" (lower case).
bool isErrorReport(const ble::Bytes& value);

PrinterError deviceDataError();
PrinterError printFailedError(int statusCode);

}  // namespace quorvel
