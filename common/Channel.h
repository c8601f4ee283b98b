// The FIFO channel between the backend and the agent: its three paths, every message text
// and the status words, defined once for both programs.
#pragma once

#include "common/ChannelAccess.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

// The channel paths before the root prefix. The backend creates the first two when they are
// missing; the agent creates the reply channel afresh at each start.
inline constexpr const char* kCommandChannel = "/var/run/cups-bluetooth-write";  // backend -> agent
inline constexpr const char* kPrintDataChannel = "/var/run/cups-bluetooth";      // backend -> agent
inline constexpr const char* kReplyChannel = "/tmp/cups-bluetooth-read";         // agent -> backend
// The channel carries no job identity, so one backend at a time uses it: a job's backend holds
// an exclusive flock(2) on this file from before its "doPrint" until it has its job's outcome
// (and while it sends "cancelPrint"); a listing holds it while it reads discovery reports.
// Whoever finds it missing creates it; nobody removes it.
inline constexpr const char* kChannelLock = "/var/run/cups-bluetooth.lock";

// Every channel is a FIFO open to root and the lp group only (common/ChannelAccess.h).

// The three paths under the root prefix, read from the environment on each call.
struct ChannelPaths {
    std::string command;
    std::string printData;
    std::string reply;
    std::string lock;
};
ChannelPaths rootedChannelPaths();

// Messages from the backend to the agent, on the command channel.
inline constexpr std::string_view kQueryBluetoothDevice = "query bluetoothdevice";
inline constexpr std::string_view kDoPrintWord = "doPrint";
inline constexpr std::string_view kAddPrintWord = "addPrint";
inline constexpr std::string_view kStatusReceivedBusy = "status received_busy";
inline constexpr std::string_view kQueryWord = "query";
// "cancelPrint " + URI: CUPS ended the backend of the job it handed over (SIGTERM). The agent
// stops sending that job at the next chunk, or takes it out of its printer's queue.
inline constexpr std::string_view kCancelPrintWord = "cancelPrint";

// Messages from the agent to the backend, on the reply channel.
inline constexpr std::string_view kQueryCallbackWord = "querycallback";
inline constexpr std::string_view kStatusWord = "status";
inline constexpr std::string_view kStatusFinished = "status finished";
inline constexpr std::string_view kStatusError = "status error";
// Reports on the job in hand, sent to the backend that handed it over (and to no other) when
// the agent takes the job and then every kProgressInterval until its outcome. Each ends with a
// space, so that a message following it in the same read starts a word of its own:
//   "status queued "        waits behind another job for the same printer
//   "status connecting "    waits for its printer to come in range (at most kPrinterWait)
//   "status sending progress SENT/TOTAL pages DONE "
//                           being sent: SENT of TOTAL job bytes written, DONE whole pages
//   "status not_in_range "  the printer did not come within kPrinterWait: the agent dropped
//                           the job, and the backend has CUPS retry it later
inline constexpr std::string_view kProgressKey = "progress";
inline constexpr std::string_view kPagesKey = "pages";
std::string queuedReport();
std::string connectingReport();
std::string sendingReport(std::uint64_t sentBytes, std::uint64_t totalBytes, std::uint64_t pagesDone);
std::string notInRangeReport();

// How often the agent reports on a job in hand, and how long a backend that has had a report
// waits for the next before it takes the agent for dead (and has CUPS retry the job).
inline constexpr std::chrono::seconds kProgressInterval{2};
inline constexpr std::chrono::seconds kAgentSilenceLimit{10};
// How long the agent waits for the printer of a job to connect before it gives the job back.
inline constexpr std::chrono::seconds kPrinterWait{20};

// The most one command message may hold: longer ones are dropped whole, never split.
inline constexpr std::size_t kMaxCommandBytes = 64 * 1024;
// The largest job, as bytes for the printer (its print data is twice as long as hex text).
inline constexpr std::uint64_t kMaxJobBytes = 256u * 1024 * 1024;

// The device URI is this scheme followed by the printer's name, unescaped.
inline constexpr std::string_view kDeviceUriScheme = "pellbluetooth://";

// "doPrint " + URI + " length=" + the print data's length in bytes; no trailing space. The
// length ends the agent's read of the job, so a writer that holds the print-data channel open
// can neither stall a job nor merge it with the next. (Without it, the job ends when the
// channel's last writer closes it.)
inline constexpr std::string_view kLengthPrefix = "length=";
std::string doPrintMessage(std::string_view deviceUri, std::uint64_t printDataLength);
// The length a "doPrint" carries in one of its words after the URI: "length=" and at most
// 15 decimal digits; empty when none does.
std::optional<std::uint64_t> printDataLength(const std::vector<std::string>& words);
// "cancelPrint " + URI; no trailing space.
std::string cancelPrintMessage(std::string_view deviceUri);
// "addPrint " + name + " "; the trailing space keeps a following message a word of its own.
std::string addPrintMessage(std::string_view printerName);
// "querycallback " + name + " ", for the same reason.
std::string queryCallbackMessage(std::string_view printerName);
// "pellbluetooth://" + name.
std::string deviceUri(std::string_view printerName);

// The value after "status ". Matching is case-insensitive ("FINISHED" is Finished); any other
// value is Other.
enum class StatusWord { Finished, Error, PaperOut, Busy, Start, Queued, Connecting, Sending, NotInRange, Other };
StatusWord parseStatusWord(std::string_view value);

}  // namespace pb
