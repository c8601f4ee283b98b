// The simulated radio as a contract-suite rig.
#pragma once

#include "RadioRig.h"
#include "ble/sim/SimulatedCentral.h"

namespace ble::test {

inline constexpr const char* kRigPrinterName = "P1 Rig";

// The rig's printer uses `settings` (instant consumption unless the test says otherwise).
std::unique_ptr<RadioRig> makeSimulatedRig(const RigSetup& setup, sim::PrinterSettings settings = {});

}  // namespace ble::test
