// Decoding of printer reports byte for byte, and the whitelist's order and prefix test.
#include "quorvel/PrinterReports.h"
#include "quorvel/Whitelist.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

ble::Bytes text(std::string_view value) { return ble::Bytes(value.begin(), value.end()); }

TEST(PrinterReports, CreditAndMtuReportsNeedTheirExactShapeAndANonZeroValue) {
    const std::vector<std::pair<ble::Bytes, int>> credits = {
        {{0x01, 0x05}, 5}, {{0x01, 0xFF}, 255}, {{0x01, 0x00}, 0}, {{0x01, 0x05, 0x00}, 0}, {{0x02, 0x05}, 0}, {{}, 0}};
    for (const auto& [value, credit] : credits) EXPECT_EQ(creditWith(value), credit) << value.size();
    const std::vector<std::pair<ble::Bytes, int>> mtus = {{{0x02, 0xF4, 0x00}, 244}, {{0x02, 0x00, 0x01}, 256},
                                                          {{0x02, 0xFF, 0xFF}, 65535}, {{0x02, 0x00, 0x00}, 0},
                                                          {{0x02, 0xF4}, 0},          {{0x01, 0xF4, 0x00}, 0}};
    for (const auto& [value, mtu] : mtus) EXPECT_EQ(mtuWith(value), mtu) << mtu;
}

TEST(PrinterReports, StatusCodesSwapOneAndTwoFoldTheRestIntoFiveAndErrorsAreUtf8TextBeginningWithEr) {
    const std::vector<std::pair<std::uint8_t, int>> table = {{1, 2}, {2, 1}, {3, 3}, {4, 4}, {0, 5}, {5, 5}, {9, 5}, {255, 5}};
    for (const auto& [status, code] : table) EXPECT_EQ(statusCodeWith({0xFF, status}), code) << int(status);
    for (const ble::Bytes& value : {ble::Bytes{0xFF, 0x01, 0x00}, {0xFF}, {0xFE, 0x01}})
        EXPECT_EQ(statusCodeWith(value), std::nullopt);
    for (const ble::Bytes& value : {text("error 3"), {0x65, 0x72}, text("er: 纸张")}) EXPECT_TRUE(isErrorReport(value));
    for (const ble::Bytes& value : {text("Error"), text("e"), {0x65, 0x72, 0xFF}, {}}) EXPECT_FALSE(isErrorReport(value));
    EXPECT_EQ(deviceDataError(), (PrinterError{"com.pell.sdk", 1001, "设备数据错误"}));
    EXPECT_EQ(printFailedError(4), (PrinterError{"com.pell.sdk", 4, "打印失败"}));
}

TEST(Whitelist, KeepsItsOrderAndDuplicatesAndMatchesTheFirstPrefix) {
    EXPECT_EQ(kWhitelist.front(), "QMT53");
    EXPECT_EQ(kWhitelist[3], "HM_ZOR21");
    EXPECT_EQ(kWhitelist[6], "HM_ZOR22");
    EXPECT_EQ(kWhitelist[13], "QMT53");
    EXPECT_EQ(kWhitelist.back(), "YF-316");
    // Row 1 comes before row 2; a model contained but not at the start, in another case, or
    // not in the HM_ form of the agent's list does not match.
    const std::vector<std::pair<std::string, std::string>> prefixes = {
        {"QMT53H-01", "QMT53"}, {"BX940-7", "BX9"}, {"HM_E7S12", "HM_E7S"}, {"YF-316-0A12", "YF-316"},
        {"XQMT53", ""},         {"qmt53", ""},      {"ZOR21", ""},          {"", ""}};
    for (const auto& [name, prefix] : prefixes) EXPECT_EQ(whitelistPrefixOf(name), prefix) << name;
}

}  // namespace
}  // namespace quorvel
