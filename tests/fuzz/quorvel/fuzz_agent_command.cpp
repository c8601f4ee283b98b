// Fuzzes what the agent reads from its FIFOs: a command text through the dispatcher, and a
// job text through both hex readers, which must agree wherever the fast one accepts the text.
#include "quorvel/Logger.h"
#include "quorvel/MessageDispatcher.h"
#include "quorvel/PellBluetoothBackend.h"

#include "common/HexText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

struct QuietLogger : quorvel::Logger {
    void log(std::string_view) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    QuietLogger logger;
    quorvel::DispatcherActions actions;
    actions.startScan = [] {};
    actions.setDeviceName = [](const std::string&) {};
    actions.startCommunication = [] {};
    actions.checkPrinterLoop = [](const std::string&) {};
    actions.performStart = [](const std::vector<std::string>& words) {
        for (const std::string& word : words)
            if (word.empty())
                std::abort();
    };
    quorvel::MessageDispatcher(logger, actions).dispatch(text);

    const auto fast = pb::decodeHex(text);
    const auto careful = quorvel::PellBluetoothBackend::hexStringToData(text);
    if (fast && careful != fast)
        std::abort();
    return 0;
}
