// Decoding of printer reports byte for byte, and the whitelist's order and prefix test.
#include "quorvel/PrinterReports.h"
#include "quorvel/Whitelist.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

ble::Bytes text(std::string_view value) { return ble::Bytes(value.begin(), value.end()); }

TEST(PrinterReports, CreditAndMtuReportsNeedTheirExactShapeAndANonZeroValue) {
    EXPECT_EQ(creditWith({0x01, 0x05}), 5);
    EXPECT_EQ(creditWith({0x01, 0xFF}), 255);
    EXPECT_EQ(creditWith({0x01, 0x00}), 0);
    EXPECT_EQ(creditWith({0x01, 0x05, 0x00}), 0);
    EXPECT_EQ(creditWith({0x02, 0x05}), 0);
    EXPECT_EQ(creditWith({}), 0);

    EXPECT_EQ(mtuWith({0x02, 0xF4, 0x00}), 244);
    EXPECT_EQ(mtuWith({0x02, 0x00, 0x01}), 256);
    EXPECT_EQ(mtuWith({0x02, 0xFF, 0xFF}), 65535);
    EXPECT_EQ(mtuWith({0x02, 0x00, 0x00}), 0);
    EXPECT_EQ(mtuWith({0x02, 0xF4}), 0);
    EXPECT_EQ(mtuWith({0x01, 0xF4, 0x00}), 0);
}

TEST(PrinterReports, StatusCodesSwapOneAndTwoAndFoldTheRestIntoFive) {
    const std::vector<std::pair<std::uint8_t, int>> table = {{1, 2}, {2, 1}, {3, 3}, {4, 4}, {0, 5}, {5, 5}, {9, 5}, {255, 5}};
    for (const auto& [status, code] : table) EXPECT_EQ(statusCodeWith({0xFF, status}), code) << int(status);
    EXPECT_EQ(statusCodeWith({0xFF, 0x01, 0x00}), std::nullopt);
    EXPECT_EQ(statusCodeWith({0xFF}), std::nullopt);
    EXPECT_EQ(statusCodeWith({0xFE, 0x01}), std::nullopt);
}

TEST(PrinterReports, ErrorReportsAreUtf8TextBeginningWithLowerCaseEr) {
    EXPECT_TRUE(isErrorReport(text("error 3")));
    EXPECT_TRUE(isErrorReport({0x65, 0x72}));
    EXPECT_TRUE(isErrorReport(text("er: 纸张")));
    EXPECT_FALSE(isErrorReport(text("Error")));
    EXPECT_FALSE(isErrorReport(text("e")));
    EXPECT_FALSE(isErrorReport({0x65, 0x72, 0xFF}));  // not UTF-8
    EXPECT_FALSE(isErrorReport({}));

    EXPECT_EQ(deviceDataError(), (PrinterError{"com.pell.sdk", 1001, "设备数据错误"}));
    EXPECT_EQ(printFailedError(4), (PrinterError{"com.pell.sdk", 4, "打印失败"}));
}

TEST(Whitelist, KeepsItsOrderAndDuplicatesAndMatchesTheFirstPrefix) {
    EXPECT_EQ(kWhitelist.front(), "QMT53");
    EXPECT_EQ(kWhitelist[3], "HM_ZOR21");
    EXPECT_EQ(kWhitelist[6], "HM_ZOR22");
    EXPECT_EQ(kWhitelist[13], "QMT53");
    EXPECT_EQ(kWhitelist.back(), "YF-316");

    EXPECT_EQ(whitelistPrefixOf("QMT53H-01"), "QMT53");  // row 1 comes before row 2
    EXPECT_EQ(whitelistPrefixOf("BX940-7"), "BX9");
    EXPECT_EQ(whitelistPrefixOf("HM_E7S12"), "HM_E7S");
    EXPECT_EQ(whitelistPrefixOf("YF-316-0A12"), "YF-316");
    EXPECT_EQ(whitelistPrefixOf("XQMT53"), "");  // contained, but not at the start
    EXPECT_EQ(whitelistPrefixOf("qmt53"), "");
    EXPECT_EQ(whitelistPrefixOf("ZOR21"), "");  // only the HM_ form is on the agent's list
    EXPECT_EQ(whitelistPrefixOf(""), "");
}

}  // namespace
}  // namespace quorvel
