// What the BlueZ central does beyond the contract, on the fake service: notifications that
// BlueZ turned back on by itself wait for the subscription, and a restarted bluetoothd ends
// the link and brings the radio back with the same device.
#include "CentralTest.h"

#include <gtest/gtest.h>

namespace ble::test {
namespace {

using Kind = Event::Kind;

class BluezRadio : public CentralTest {
protected:
    void start(const std::vector<std::string>& settings = {}) {
        rig_ = makeBluezRig(io_, folder_.path, settings);
        ASSERT_TRUE(adopt(rig_.central));
    }
    RadioRig rig_;
};

TEST_F(BluezRadio, ValuesBeforeTheSubscriptionAreHeldBackThenDeliveredInOrder) {
    start({"QUORVEL_SIM_EARLY_CREDITS=1"});
    auto printer = discover(rig_.printerName);
    ASSERT_TRUE(connect(printer));
    const Gatt gatt = discoverGatt(printer);
    ASSERT_TRUE(gatt.credit);
    runFor(std::chrono::milliseconds(300));
    EXPECT_EQ(recorder_->count(Kind::value), 0u) << "a value came before the subscription";

    call([&] { printer->setNotifyValue(true, gatt.credit); });
    ASSERT_TRUE(waitFor([&] { return creditsGranted(gatt.credit) > 0; }));
    std::vector<Bytes> reports;
    for (const Event& e : recorder_->events)
        if (e.kind == Kind::value && e.characteristic == gatt.credit) reports.push_back(e.value.value_or(Bytes{}));
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[0].size(), 3u);  // the MTU report comes first, as the printer sent it
    EXPECT_EQ(reports[1][0], 0x01);
}

TEST_F(BluezRadio, ARestartedServiceEndsTheLinkAndTheSameDeviceConnectsAgain) {
    start();
    auto printer = discover(rig_.printerName);
    ASSERT_TRUE(connect(printer));
    rig_.restartService();
    ASSERT_TRUE(waitFor([&] { return recorder_->count(Kind::disconnect) == 1; }));
    EXPECT_TRUE(recorder_->last(Kind::disconnect)->failed);
    ASSERT_TRUE(waitFor([&] { return stateIs(CentralState::poweredOn) && recorder_->count(Kind::state) >= 3; }));
    EXPECT_EQ(discover(rig_.printerName), printer);
    EXPECT_TRUE(connect(printer));
}

}  // namespace
}  // namespace ble::test
