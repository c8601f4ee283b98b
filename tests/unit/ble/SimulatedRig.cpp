// The simulated radio as a contract-suite rig: levers are the simulator's test controls.
#include "SimulatedRig.h"

#include <fstream>
#include <iterator>

namespace ble::test {

namespace {

class SimulatedRig : public RadioRig {
public:
    SimulatedRig(const RigSetup& setup, sim::PrinterSettings settings) : outputFolder_(setup.outputFolder) {
        sim::SimulatedRadioSettings radio;
        radio.printers.push_back({kRigPrinterName, settings});
        radio.outputFolder = setup.outputFolder;
        radio.advertisingInterval = std::chrono::milliseconds(20);
        central_ = sim::SimulatedCentral::create(setup.mainQueue, std::move(radio));
    }

    std::shared_ptr<Central> central() override { return central_; }
    std::string printerName() const override { return kRigPrinterName; }
    std::chrono::milliseconds advertisingInterval() const override { return std::chrono::milliseconds(20); }
    void setPowered(bool on) override { central_->setPowered(on); }
    void dropLink() override { central_->dropLink(kRigPrinterName); }
    void failNextConnection() override { central_->failNextConnection(kRigPrinterName); }
    void setGrantingCredits(bool granting) override { central_->setGrantingCredits(kRigPrinterName, granting); }
    std::vector<std::uint8_t> printedStream() override {
        std::ifstream in(pageFolder() / sim::kStreamFileName, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::filesystem::path pageFolder() override {
        return outputFolder_ / sim::folderNameForPrinter(kRigPrinterName);
    }

private:
    std::filesystem::path outputFolder_;
    std::shared_ptr<sim::SimulatedCentral> central_;
};

}  // namespace

std::unique_ptr<RadioRig> makeSimulatedRig(const RigSetup& setup, sim::PrinterSettings settings) {
    return std::make_unique<SimulatedRig>(setup, settings);
}

}  // namespace ble::test
