// The agent on the BlueZ radio against the fake Bluetooth service on a private bus: job bytes
// per second for a 1 MB job to a printer that takes data at once and grants a buffer larger
// than the job, beside the rate at which the same service takes the same writes from a plain
// client (pb-bluez-write-rate) in the same run. Exits 2 when a target is missed, 1 on failure.
//   bench_agent_bluez QUORVEL PB-FAKE-BLUEZ PB-BLUEZ-WRITE-RATE
#include "common/Channel.h"
#include "common/Fifo.h"
#include "common/HexText.h"
#include "support/PrivateBus.h"
#include "support/Process.h"
#include "support/TempRoot.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kJobBytes = 1000u * 1000;
constexpr double kTargetMBps = 1.0;
constexpr double kTargetShareOfPlainClient = 0.5;
constexpr const char* kPrinter = "KRV38-BENCH";

const std::vector<std::string> kPrinterSettings{std::string("QUORVEL_SIM_PRINTERS=") + kPrinter,
                                                "QUORVEL_SIM_RATE=instant", "QUORVEL_SIM_CREDITS=65535"};

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

struct AgentRun {
    double seconds = 0;
    std::size_t writeLength = 0;  // the longest data write the agent made
};

AgentRun agentRun(const std::string& agentProgram, const std::string& fakeProgram) {
    pbtest::TempRoot root;
    root.setQueues({kPrinter});
    pb::makeFifo(root.path("/var/run/cups-bluetooth"), 0660);  // the benchmark plays the backend
    std::vector<std::string> fakeSettings = kPrinterSettings;
    fakeSettings.push_back("QUORVEL_SIM_OUT=" + root.path("/out"));
    pbtest::PrivateBus bus(fakeProgram, fakeSettings);
    const std::string log = root.path("/var/log/cups/pellbluetooth_backend.log");
    pbtest::Process agent({agentProgram}, {"PELLBLUETOOTH_ROOT=" + root.root(), "QUORVEL_BLE=bluez", bus.addressSetting()},
                          root.path("/agent.out"));
    if (!pbtest::waitUntil([&] { return pbtest::readFile(log).find("Printer update credit") != std::string::npos; }, 15s))
        throw std::runtime_error("the agent did not connect to its printer");
    std::this_thread::sleep_for(300ms);

    std::vector<std::uint8_t> job(kJobBytes);
    std::mt19937 random(42);
    for (auto& byte : job) byte = static_cast<std::uint8_t>(random());
    const std::string hex = pb::encodeHex(job);
    const auto start = Clock::now();
    std::string all;
    std::thread replies([&] {
        // Reports on the job come first; the outcome ends the wait.
        while (all.find(pb::kStatusFinished) == std::string::npos && all.find(pb::kStatusError) == std::string::npos) {
            std::error_code error;
            const int fd = pb::openFifoForReading(root.path("/tmp/cups-bluetooth-read"), error);
            if (fd < 0) break;
            std::string text;
            pb::readToEnd(fd, text);
            ::close(fd);
            all += text;
        }
    });
    pb::writeToFifo(root.path("/var/run/cups-bluetooth-write"),
                    pb::doPrintMessage(std::string("pellbluetooth://") + kPrinter, hex.size()));
    const bool refused = static_cast<bool>(pb::writeToFifo(root.path("/var/run/cups-bluetooth"), hex));
    // The agent reports the job finished once its writes are queued: the clock stops when the
    // printer holds the last byte.
    const std::string stream = root.printerFolder(kPrinter) + "/stream.bin";
    const auto streamSize = [&] {
        std::error_code missing;
        const auto size = std::filesystem::file_size(stream, missing);
        return missing ? 0 : static_cast<std::size_t>(size);
    };
    while (streamSize() < kJobBytes && Clock::now() - start < 60s) std::this_thread::sleep_for(1ms);
    const bool whole = streamSize() >= kJobBytes;
    AgentRun run{seconds(Clock::now() - start), 0};
    replies.join();
    if (refused) throw std::runtime_error("the agent did not take the print data");
    if (!whole || streamSize() != kJobBytes)
        throw std::runtime_error("the printer got " + std::to_string(streamSize()) + " bytes of the job; the agent said: " + all);
    // "已发送 N 字节": each data write.
    const std::string text = pbtest::readFile(log);
    const std::regex sent("已发送 (\\d+) 字节");
    for (auto match = std::sregex_iterator(text.begin(), text.end(), sent); match != std::sregex_iterator(); ++match)
        run.writeLength = std::max<std::size_t>(run.writeLength, std::stoul((*match)[1]));
    if (run.writeLength == 0) throw std::runtime_error("no data write in the agent's log");
    return run;
}

double plainClientSeconds(const std::string& fakeProgram, const std::string& clientProgram, std::size_t writeLength) {
    pbtest::TempRoot root;
    std::vector<std::string> fakeSettings = kPrinterSettings;
    fakeSettings.push_back("QUORVEL_SIM_OUT=" + root.path("/out"));
    pbtest::PrivateBus bus(fakeProgram, fakeSettings);
    const std::string out = root.path("/client.out");
    pbtest::Process client({clientProgram, kPrinter, std::to_string(kJobBytes), std::to_string(writeLength)},
                           {bus.addressSetting()}, out);
    if (client.waitExit(120s) != 0) throw std::runtime_error("pb-bluez-write-rate failed: " + pbtest::readFile(out));
    std::istringstream fields(pbtest::readFile(out));
    std::size_t bytes = 0;
    double elapsed = 0;
    if (!(fields >> bytes >> elapsed) || bytes != kJobBytes) throw std::runtime_error("pb-bluez-write-rate said: " + fields.str());
    return elapsed;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_agent_bluez QUORVEL PB-FAKE-BLUEZ PB-BLUEZ-WRITE-RATE\n");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        const AgentRun agent = agentRun(argv[1], argv[2]);
        const double plain = plainClientSeconds(argv[2], argv[3], agent.writeLength);
        const double megabytes = static_cast<double>(kJobBytes) / 1e6;
        const double agentRate = megabytes / agent.seconds, plainRate = megabytes / plain;
        std::printf("%-44s %10.2f MB/s  (%.3f s, writes of %zu bytes)\n", "1 MB job, agent to the fake service",
                    agentRate, agent.seconds, agent.writeLength);
        std::printf("%-44s %10.2f MB/s  (%.3f s, one write in flight)\n", "plain client, same writes", plainRate, plain);
        const double ratio = agentRate / plainRate;
        std::printf("%-44s %10.2f\n", "agent / plain client", ratio);
        const bool met = agentRate >= kTargetMBps && ratio >= kTargetShareOfPlainClient;
        std::printf("%-44s %10s  target >= %.0f MB/s and >= %.0f%% of the plain client\n", "", met ? "ok" : "! MISSED",
                    kTargetMBps, kTargetShareOfPlainClient * 100);
        return met ? 0 : 2;
    } catch (const std::exception& error) {
        std::printf("!! %s\n", error.what());
        return 1;
    }
}
