// A private system bus with the fake Bluetooth service on it, for tests of the BlueZ radio
// that must never touch the machine's own bus: a dbus-daemon listening in a temporary folder,
// then pb-fake-bluez serving org.bluez there.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace pbtest {

class PrivateBus {
public:
    // Starts the bus, then `fakeProgram` with `environment` ("NAME=value": the QUORVEL_SIM_*
    // settings) and `arguments`, and returns once org.bluez is owned. Unless `environment`
    // says otherwise, the printers print into FOLDER/out and the control FIFO is
    // FOLDER/control. Throws std::runtime_error (with the fake's log) when either does not
    // come up within 10 s.
    PrivateBus(const std::string& fakeProgram, const std::vector<std::string>& environment,
               const std::vector<std::string>& arguments = {});
    // Stops the fake, then the bus (SIGTERM, then SIGKILL after 5 s), and removes the folder.
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // The address clients connect to, and the setting that points a central at it.
    const std::string& address() const { return address_; }
    std::string addressSetting() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + address_; }
    // The temporary folder: the bus socket, its configuration and the fake's log live there.
    const std::string& folder() const { return folder_; }
    std::string fakeLog() const;
    // Where the printers print (one sub-folder each, as the simulated radio's).
    const std::string& outputFolder() const { return output_; }
    // Writes one control line (see ble/sim/ControlCommand.h) to the fake and returns once the
    // fake has taken it (its log says so); throws std::runtime_error when nobody reads the
    // FIFO or the line is not taken within 5 s.
    void control(const std::string& line) const;

private:
    void stopAll();

    std::string folder_;
    std::string address_;
    std::string output_;
    std::string controlFifo_;
    pid_t busPid_ = -1;
    pid_t fakePid_ = -1;
    int busOutput_ = -1;
    int fakeOutput_ = -1;
};

}  // namespace pbtest
