// The fake Bluetooth service as a central meets it: the tree, discovery, a connection and the
// service going away and coming back, driven with dbus-send on the private bus.
#include "common/ChildProcess.h"
#include "support/PrivateBus.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>

#include <string>
#include <vector>

namespace {

using namespace pbtest;

const std::string kPrinter = "P1 Rig";
const std::string kAdapter = "/org/bluez/hci0";

class FakeBluezTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/usr/bin/dbus-send", X_OK) != 0) GTEST_SKIP() << "dbus-send is not installed (package dbus-bin)";
        bus_ = std::make_unique<PrivateBus>(
            PB_FAKE_BLUEZ_PATH,
            std::vector<std::string>{"QUORVEL_SIM_PRINTERS=" + kPrinter},
            std::vector<std::string>{"--restart-pause", "300", "--connect-timeout", "300"});
    }

    // One call; its printed reply, or "ERROR" when it failed (dbus-send prints why on standard
    // error, which the runner drops).
    std::string call(const std::string& destination, const std::string& path, const std::string& method,
                     std::vector<std::string> arguments = {}) {
        std::vector<std::string> all{"--bus=" + bus_->address(), "--print-reply", "--reply-timeout=5000",
                                     "--dest=" + destination, path, method};
        all.insert(all.end(), arguments.begin(), arguments.end());
        pb::PosixProcessRunner runner;
        const auto result = runner.run({"/usr/bin/dbus-send", all, {}});
        return result.exitStatus == 0 ? result.output : "ERROR " + result.output;
    }
    std::string managedObjects() {
        return call("org.bluez", "/", "org.freedesktop.DBus.ObjectManager.GetManagedObjects");
    }
    std::string bluezOwner() {
        return call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.GetNameOwner",
                    {"string:org.bluez"});
    }
    std::string property(const std::string& path, const std::string& interface, const std::string& name) {
        return call("org.bluez", path, "org.freedesktop.DBus.Properties.Get", {"string:" + interface, "string:" + name});
    }
    // Discovery ends as dbus-send leaves the bus, maybe before the first advertisement: it
    // is started again until the printer was seen.
    std::string discoveredDevice() {
        EXPECT_TRUE(waitUntil([&] {
            call("org.bluez", kAdapter, "org.bluez.Adapter1.StartDiscovery");
            return !devicePath().empty();
        }, 3s)) << bus_->fakeLog();
        // dbus-send has left the bus, which ended its discovery: a connection may be made.
        EXPECT_TRUE(waitUntil([&] { return property(kAdapter, "org.bluez.Adapter1", "Discovering").find("false") != std::string::npos; }, 3s));
        return devicePath();
    }
    bool failed(const std::string& reply) { return reply.rfind("ERROR", 0) == 0; }
    // The printer's device path, read from the tree; empty when it is not there.
    std::string devicePath() {
        const std::string tree = managedObjects();
        const auto at = tree.find("object path \"" + kAdapter + "/dev_");
        return at == std::string::npos ? "" : tree.substr(at + 13, kAdapter.size() + 22);
    }

    std::unique_ptr<PrivateBus> bus_;
};

// The adapter is there from the start; the printer only once discovery saw it, with its name.
TEST_F(FakeBluezTest, DiscoveryBringsThePrinterWithItsName) {
    const std::string before = managedObjects();
    EXPECT_NE(before.find("object path \"" + kAdapter + "\""), std::string::npos) << before;
    EXPECT_EQ(before.find("/dev_"), std::string::npos) << before;

    EXPECT_FALSE(discoveredDevice().empty());
    EXPECT_NE(managedObjects().find("string \"" + kPrinter + "\""), std::string::npos) << managedObjects();
}

// Connected, the printer's service is resolved; powered off, the link is gone; a restart of
// the service gives up the name, takes it again and brings back the device it knew.
TEST_F(FakeBluezTest, ConnectionPowerAndRestart) {
    const std::string device = discoveredDevice();
    ASSERT_FALSE(device.empty());
    EXPECT_FALSE(failed(call("org.bluez", device, "org.bluez.Device1.Connect"))) << bus_->fakeLog();
    EXPECT_NE(property(device, "org.bluez.Device1", "ServicesResolved").find("true"), std::string::npos);
    EXPECT_NE(managedObjects().find("0000ff00-0000-1000-8000-00805f9b34fb"), std::string::npos);

    bus_->control("power off");
    ASSERT_TRUE(waitUntil([&] { return property(kAdapter, "org.bluez.Adapter1", "Powered").find("false") != std::string::npos; }, 3s));
    EXPECT_NE(property(device, "org.bluez.Device1", "Connected").find("false"), std::string::npos);
    EXPECT_EQ(managedObjects().find("0000ff00"), std::string::npos) << "the GATT objects outlived the link";
    EXPECT_TRUE(failed(call("org.bluez", device, "org.bluez.Device1.Connect"))) << "connected while off";

    const std::string owner = bluezOwner();
    ASSERT_NE(owner.find("string \":"), std::string::npos) << owner;
    bus_->control("restart");
    EXPECT_TRUE(waitUntil([&] { return bluezOwner().rfind("ERROR", 0) == 0; }, 3s)) << "the name was not given up";
    EXPECT_TRUE(waitUntil([&] { const auto now = bluezOwner(); return now.rfind("ERROR", 0) != 0 && now != owner; }, 3s))
        << bus_->fakeLog();
    EXPECT_NE(managedObjects().find("object path \"" + device + "\""), std::string::npos);
}

// A printer out of range fails the connection after the time-out, one asked to fail fails
// the next attempt only, and a removed device is gone until discovery finds it again.
TEST_F(FakeBluezTest, ConnectionsFailWhenAskedOrOutOfRange) {
    const std::string device = discoveredDevice();
    ASSERT_FALSE(device.empty());
    bus_->control("leave " + kPrinter);
    const auto start = Clock::now();
    EXPECT_TRUE(failed(call("org.bluez", device, "org.bluez.Device1.Connect")));
    EXPECT_GE(Clock::now() - start, 300ms);

    bus_->control("return " + kPrinter);
    bus_->control("fail " + kPrinter);
    EXPECT_TRUE(failed(call("org.bluez", device, "org.bluez.Device1.Connect")));
    EXPECT_NE(property(device, "org.bluez.Device1", "Connected").find("false"), std::string::npos);
    EXPECT_FALSE(failed(call("org.bluez", device, "org.bluez.Device1.Connect"))) << bus_->fakeLog();

    EXPECT_FALSE(failed(call("org.bluez", kAdapter, "org.bluez.Adapter1.RemoveDevice", {"objpath:" + device})));
    EXPECT_EQ(managedObjects().find("/dev_"), std::string::npos) << "a removed device stayed";
    EXPECT_EQ(discoveredDevice(), device) << "the address is not stable";
}

}  // namespace
