// Discovery while the BLE manager is after a named printer: printers without a queue are
// still offered to CUPS, those with one are neither offered nor connected.
#include "ManagerRig.h"

#include <gtest/gtest.h>

namespace quorvel::test {
namespace {

using namespace std::chrono_literals;

TEST(DiscoveryWhileNamed, PrintersWithoutAQueueAreReportedWhateverTheDeviceName) {
    ManagerRig rig({printer("KRV38-A1"), printer("QMT53-9"), printer("HM_B58-1")});
    rig.queues.add("KRV38-A1");
    rig.queues.add("HM_B58-1");
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.connectNamed("KRV38-A1"));
    ASSERT_EQ(rig.manager->deviceName(), "KRV38-A1");

    rig.manager->startScan();  // a device listing
    ASSERT_TRUE(rig.waitUntil([&] { return rig.reports.count("QMT53-9") >= 2; }));
    EXPECT_EQ(rig.reports.count("HM_B58-1"), 0u);
    EXPECT_FALSE(rig.manager->isConnected("HM_B58-1"));  // only the named printer is connected
    EXPECT_TRUE(rig.manager->isScanning());
    EXPECT_TRUE(rig.manager->isConnected("KRV38-A1"));
}

}  // namespace
}  // namespace quorvel::test
