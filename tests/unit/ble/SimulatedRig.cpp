// The simulated radio as a contract-suite rig: levers are the simulator's test controls.
#include "RadioRig.h"
#include "ble/sim/SimulatedCentral.h"

#include <fstream>
#include <iterator>

namespace ble::test {

namespace {

constexpr const char* kPrinter = "P1 Rig";
constexpr std::chrono::milliseconds kAdvertisingInterval{20};

class SimulatedRig : public RadioRig {
public:
    explicit SimulatedRig(const RigSetup& setup) : outputFolder_(setup.outputFolder) {
        sim::SimulatedRadioSettings radio;
        radio.printers.push_back({kPrinter, {}});
        radio.outputFolder = setup.outputFolder;
        radio.advertisingInterval = kAdvertisingInterval;
        central_ = sim::SimulatedCentral::create(setup.mainQueue, std::move(radio));
    }

    std::shared_ptr<Central> central() override { return central_; }
    std::string printerName() const override { return kPrinter; }
    std::chrono::milliseconds advertisingInterval() const override { return kAdvertisingInterval; }
    void setPowered(bool on) override { central_->setPowered(on); }
    void dropLink() override { central_->dropLink(kPrinter); }
    void failNextConnection() override { central_->failNextConnection(kPrinter); }
    void setGrantingCredits(bool granting) override { central_->setGrantingCredits(kPrinter, granting); }
    std::vector<std::uint8_t> printedStream() override {
        std::ifstream in(pageFolder() / sim::kStreamFileName, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::filesystem::path pageFolder() override { return outputFolder_ / sim::folderNameForPrinter(kPrinter); }

private:
    std::filesystem::path outputFolder_;
    std::shared_ptr<sim::SimulatedCentral> central_;
};

}  // namespace

std::unique_ptr<RadioRig> makeSimulatedRig(const RigSetup& setup) { return std::make_unique<SimulatedRig>(setup); }

}  // namespace ble::test
