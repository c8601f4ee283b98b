// The rig of the delivery tests and the soak.
#include "DeliveryRig.h"

#include "GeneratedJob.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace agenttest {

namespace {

std::string joined(const std::vector<std::string>& names) {
    std::string list;
    for (const auto& name : names) list += (list.empty() ? "" : ",") + name;
    return list;
}

}  // namespace

DeliveryRig::DeliveryRig(std::vector<std::string> printers, std::vector<std::string> simulator)
    : printers_(std::move(printers)), settings_(std::move(simulator)) {
    settings_.push_back(control.setting());
    root.setQueues(printers_);
    startAgent();
}

void DeliveryRig::startAgent() {
    agent_.emplace(root, joined(printers_), settings_);
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
