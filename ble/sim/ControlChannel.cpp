// The control FIFO's reader thread and its line splitting.
#include "ble/sim/ControlChannel.h"

#include <sys/stat.h>

#include <cerrno>

namespace ble::sim {

ControlChannel::ControlChannel(std::string path, LineHandler onLine, ProblemHandler onProblem)
    : path_(std::move(path)), onLine_(std::move(onLine)), onProblem_(std::move(onProblem)) {
    if (open()) reader_ = std::thread([this] { readLoop(); });
}

ControlChannel::~ControlChannel() {
    listener_.stop();
    if (reader_.joinable()) reader_.join();
}

bool ControlChannel::open() {
    const std::string where = "control channel " + path_ + ": ";
    std::error_code error = pb::makeFifo(path_, kFifoMode);
    // Checked without following a link: only a FIFO at the path itself is taken.
    struct stat status {};
    if (error.value() == EEXIST)
        error = lstat(path_.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)
                    ? std::error_code{}
                    : std::make_error_code(std::errc::file_exists);
    if (error) {
        onProblem_(where + "cannot make the FIFO: " + error.message());
        return false;
    }
    if ((error = listener_.open(path_))) {
        onProblem_(where + "cannot open it: " + error.message());
        return false;
    }
    return true;
}

void ControlChannel::readLoop() {
    std::string bytes;
    for (;;) {
        std::error_code error;
        switch (listener_.readAvailable(bytes, error)) {
        case pb::FifoListener::Result::Data:
            take(bytes);
            break;
        case pb::FifoListener::Result::Quiet:  // only when waiting with a limit
            break;
        case pb::FifoListener::Result::Stopped:
            return;
        case pb::FifoListener::Result::Failed:
            onProblem_("control channel " + path_ + ": read failed, no more commands: " + error.message());
            return;
        }
    }
}

void ControlChannel::take(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto newline = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, newline);
        if (!skipping_ && partial_.size() + piece.size() > kMaxLineLength) {
            onProblem_("control channel " + path_ + ": a line longer than " + std::to_string(kMaxLineLength) +
                       " bytes was dropped");
            partial_.clear();
            skipping_ = true;
        }
        if (!skipping_) partial_.append(piece);
        if (newline == std::string_view::npos) return;
        if (!skipping_) onLine_(std::move(partial_));
        partial_.clear();
        skipping_ = false;
        bytes.remove_prefix(newline + 1);
    }
}

}  // namespace ble::sim
