// The parts of the BlueZ radio that need no bus: handle order of GATT object paths, which
// objects belong to a device, characteristic flags and the errors that mean "wait".
#include "ble/bluez/BluezError.h"
#include "ble/bluez/CharacteristicFlags.h"
#include "ble/bluez/GattPathOrder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace ble::bluez {
namespace {

TEST(BluezPaths, CharacteristicsSortByHandleNumericallyAndOddNamesGoLast) {
    std::vector<std::string> paths = {"/s/char0100", "/s/charzz", "/s/char000f", "/s/char0010", "/s/char00a0"};
    std::sort(paths.begin(), paths.end(),
              [](const std::string& a, const std::string& b) { return handleOrderLess(a, b, "char"); });
    EXPECT_EQ(paths, (std::vector<std::string>{"/s/char000f", "/s/char0010", "/s/char00a0", "/s/char0100", "/s/charzz"}));
    EXPECT_FALSE(handleOfPath("/s/char", "char"));
    EXPECT_FALSE(handleOfPath("/s/char12/x", "char"));
}

TEST(BluezPaths, OnlyTheDevicesOwnChildrenBelongToIt) {
    const std::string device = "/org/bluez/hci0/dev_AA_BB";
    EXPECT_TRUE(isChildPath(device + "/service000c", device));
    EXPECT_FALSE(isChildPath(device + "/service000c/char000d", device));
    EXPECT_FALSE(isChildPath("/org/bluez/hci0/dev_AA_BBCC/service000c", device));
    EXPECT_FALSE(isChildPath(device, device));
    EXPECT_TRUE(isBelowPath(device + "/service000c/char000d", device));
    EXPECT_FALSE(isChildPath("/dev_AA_BB", ""));
}

TEST(BluezFlags, OnlyTheFourKnownFlagsSetBits) {
    const auto properties = propertiesFromFlags({"write-without-response", "notify", "indicate", "read", "bogus"});
    EXPECT_EQ(properties, (CharacteristicProperties{CharacteristicProperty::writeWithoutResponse,
                                                    CharacteristicProperty::notify, CharacteristicProperty::read}));
    EXPECT_EQ(propertiesFromFlags({"write"}), CharacteristicProperties{CharacteristicProperty::write});
}

TEST(BluezErrors, InProgressInEitherFormMeansWaitAndTheTextIsBounded) {
    EXPECT_TRUE((BusError{"org.bluez.Error.InProgress", ""}).meansInProgress());
    EXPECT_TRUE((BusError{"org.bluez.Error.Failed", "Operation already in progress"}).meansInProgress());
    EXPECT_FALSE((BusError{"org.bluez.Error.Failed", "le-connection-abort-by-local"}).meansInProgress());
    const std::string text = BusError{"x.Error", std::string(1000, 'a') + "\n"}.text();
    EXPECT_LT(text.size(), 200u);
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace ble::bluez
