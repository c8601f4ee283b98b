// Processes in a temporary root for the agent's integration tests, and the delivery rig.
#include "AgentHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace agenttest {

std::string radioName(const ::testing::TestParamInfo<Radio>& info) {
    return info.param == Radio::BlueZ ? "BlueZ" : "Simulated";
}

void PrintTo(Radio radio, std::ostream* out) { *out << (radio == Radio::BlueZ ? "BlueZ" : "the simulated radio"); }

RadioRig::RadioRig(Radio radio, const TempRoot& root, const std::string& printers, std::vector<std::string> settings)
    : radio_(radio), controlFifo_(root.path("/sim-control")), settings_(std::move(settings)) {
    settings_.push_back("QUORVEL_SIM_PRINTERS=" + printers);
    settings_.push_back("QUORVEL_SIM_OUT=" + root.path("/out"));
    if (radio_ == Radio::Simulated) {
        settings_.push_back("QUORVEL_SIM_CONTROL=" + controlFifo_);
        return;
    }
    bus_ = std::make_unique<pbtest::PrivateBus>(PB_FAKE_BLUEZ_PATH, settings_);
    settings_ = {"QUORVEL_BLE=bluez", bus_->addressSetting()};
}

std::vector<std::string> RadioRig::agentSettings() const { return settings_; }

bool RadioRig::order(const std::string& line) const {
    if (bus_) {
        try {
            bus_->control(line);
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    }
    const std::string text = line + "\n";
    int fd = -1;
    // A non-blocking open for writing fails until the radio has its end open.
    if (!waitUntil([&] { return (fd = open(controlFifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }, 5s))
        return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

static const char* const kAgentLog = "/var/log/cups/pellbluetooth_backend.log";

Agent::Agent(const TempRoot& root, const std::string& printers, std::vector<std::string> extra)
    : root_(root), logStart_(readFile(root.path(kAgentLog)).size()), process_({PB_AGENT_PATH}, [&] {
          extra.insert(extra.begin(), {"PELLBLUETOOTH_ROOT=" + root.root(), "QUORVEL_BLE=sim",
                                       "QUORVEL_SIM_PRINTERS=" + printers, "QUORVEL_SIM_OUT=" + root.path("/out")});
          return extra;
      }(), root.path("/agent.out")) {
    if (!waitForLogSinceStart("readLoop")) throw std::runtime_error("the agent did not start listening");
}

std::string Agent::log() const { return readFile(root_.path(kAgentLog)); }

bool Agent::waitForLog(const std::string& text, Clock::duration limit) const {
    return waitUntil([&] { return logHas(text); }, limit);
}

bool Agent::waitForLogSinceStart(const std::string& text, Clock::duration limit) const {
    return waitUntil([&] { return logHasSinceStart(text); }, limit);
}

static std::string freshOutput(const TempRoot& root, int jobId) {
    const std::string path = root.path("/backend-" + std::to_string(jobId) + ".out");
    std::filesystem::remove(path);
    return path;
}

// CUPS runs a backend with its device URI as argv[0].
BackendJob::BackendJob(const TempRoot& root, const std::string& printer, const std::string& jobFile, int jobId)
    : outputPath_(freshOutput(root, jobId)),
      start_(Clock::now()),
      process_({"pellbluetooth://" + printer, std::to_string(jobId), "user", "title", "1", ""},
               {"PELLBLUETOOTH_ROOT=" + root.root()}, outputPath_, jobFile, PB_BACKEND_PATH) {}

std::optional<int> BackendJob::waitExit(Clock::duration limit) {
    const auto status = process_.waitExit(limit);
    if (status && !end_) end_ = Clock::now();
    return status;
}

std::string filteredJob(const TempRoot& root, const std::string& printer, int pages) {
    const std::string raster = root.path("/job.ras");
    const std::string job = root.path("/job-" + std::to_string(pages) + ".bin");
    const std::vector<std::string> env{"PELLBLUETOOTH_ROOT=" + root.root()};
    Process writer({PB_RASTER_WRITER_PATH, "--pattern", "sample", "--width", "384", "--height", "240", "--pages",
                    std::to_string(pages), "-o", raster},
                   env, root.path("/writer.out"));
    if (writer.waitExit(30s) != 0) throw std::runtime_error("pb-raster-writer failed");
    // CUPS gives a filter the queue name as argv[0]; vellumar picks its command frame from it.
    std::filesystem::remove(job);
    Process filter({printer, "1", "user", "title", "1", ""}, env, job, raster, PB_FILTER_PATH, root.path("/filter.err"));
    if (filter.waitExit(30s) != 0) throw std::runtime_error("vellumar failed");
    return job;
}

static std::string joined(const std::vector<std::string>& names) {
    std::string list;
    for (const auto& name : names) list += (list.empty() ? "" : ",") + name;
    return list;
}

DeliveryRig::DeliveryRig(std::vector<std::string> printers, std::vector<std::string> simulator, Radio radio)
    : printers_(std::move(printers)) {
    radio_.emplace(radio, root, joined(printers_), std::move(simulator));
    root.setQueues(printers_);
    startAgent();
}

void DeliveryRig::startAgent() {
    agent_.emplace(root, joined(printers_), radio_->agentSettings());
    for (const auto& printer : printers_)
        if (!agent_->waitForLogSinceStart("Connected to " + printer, 15s))
            throw std::runtime_error(printer + " was not connected");
}

void DeliveryRig::killAgent() {
    if (!agent_) return;
    agent_->process().signal(SIGKILL);
    agent_->process().waitExit(10s);
    agent_.reset();
    for (const auto& printer : printers_) restartsAt_[printer].push_back(printedSize(printer));
}

std::string DeliveryRig::writeJob(std::uint32_t id, std::size_t size) {
    const std::string path = root.path("/job-" + std::to_string(id) + ".bin");
    writeFile(path, GeneratedJob::make(id, size));
    return path;
}

std::size_t DeliveryRig::printedSize(const std::string& printer) const {
    std::error_code missing;
    const auto size = std::filesystem::file_size(root.printerFolder(printer) + "/stream.bin", missing);
    return missing ? 0 : static_cast<std::size_t>(size);
}

std::string DeliveryRig::printedSince(const std::string& printer, std::size_t offset) const {
    std::ifstream stream(root.printerFolder(printer) + "/stream.bin", std::ios::binary);
    stream.seekg(static_cast<std::streamoff>(offset));
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

std::vector<PrinterStream> DeliveryRig::streams() const {
    std::vector<PrinterStream> all;
    for (const auto& printer : printers_) {
        const std::string bytes = root.printed(printer);
        PrinterStream stream{printer, {}};
        std::size_t from = 0;
        if (const auto cuts = restartsAt_.find(printer); cuts != restartsAt_.end()) {
            for (const std::size_t cut : cuts->second) {
                const std::size_t to = std::clamp(cut, from, bytes.size());
                stream.sessions.push_back(bytes.substr(from, to - from));
                from = to;
            }
        }
        stream.sessions.push_back(bytes.substr(from));
        all.push_back(std::move(stream));
    }
    return all;
}

bool DeliveryRig::waitForQuietPrinters(Clock::duration quiet, Clock::duration limit) const {
    std::vector<std::size_t> last;
    auto since = Clock::now();
    return waitUntil([&] {
        std::vector<std::size_t> now;
        for (const auto& printer : printers_) now.push_back(printedSize(printer));
        if (now != last) {
            last = now;
            since = Clock::now();
        }
        return Clock::now() - since >= quiet;
    }, limit);
}

::testing::AssertionResult sameBytes(const std::string& printed, const std::string& sent) {
    if (printed == sent) return ::testing::AssertionSuccess();
    const auto differ = std::mismatch(printed.begin(), printed.end(), sent.begin(), sent.end());
    return ::testing::AssertionFailure() << "printed " << printed.size() << " bytes, sent " << sent.size()
                                         << ", first difference at " << (differ.first - printed.begin());
}

}  // namespace agenttest
