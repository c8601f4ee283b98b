// The FIFO channel between the backend and the agent: its three paths, every message text
// and the status words, defined once for both programs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pb {

// The channel paths before the root prefix. The backend creates the first two when they are
// missing; the agent creates the reply channel afresh at each start.
inline constexpr const char* kCommandChannel = "/var/run/cups-bluetooth-write";  // backend -> agent
inline constexpr const char* kPrintDataChannel = "/var/run/cups-bluetooth";      // backend -> agent
inline constexpr const char* kReplyChannel = "/tmp/cups-bluetooth-read";         // agent -> backend

// Every channel is a FIFO readable and writable by everyone (so root's backend and a user's
// agent can meet on it).
inline constexpr unsigned kChannelMode = 0666;

// The three paths under the root prefix, read from the environment on each call.
struct ChannelPaths {
    std::string command;
    std::string printData;
    std::string reply;
};
ChannelPaths rootedChannelPaths();

// Messages from the backend to the agent, on the command channel.
inline constexpr std::string_view kQueryBluetoothDevice = "query bluetoothdevice";
inline constexpr std::string_view kDoPrintWord = "doPrint";
inline constexpr std::string_view kAddPrintWord = "addPrint";
inline constexpr std::string_view kStatusReceivedBusy = "status received_busy";
inline constexpr std::string_view kQueryWord = "query";

// Messages from the agent to the backend, on the reply channel.
inline constexpr std::string_view kQueryCallbackWord = "querycallback";
inline constexpr std::string_view kStatusWord = "status";
inline constexpr std::string_view kStatusFinished = "status finished";

// The device URI is this scheme followed by the printer's name, unescaped.
inline constexpr std::string_view kDeviceUriScheme = "pellbluetooth://";

// "doPrint " + URI; no trailing space.
std::string doPrintMessage(std::string_view deviceUri);
// "addPrint " + name + " "; the trailing space keeps a following message a word of its own.
std::string addPrintMessage(std::string_view printerName);
// "querycallback " + name + " ", for the same reason.
std::string queryCallbackMessage(std::string_view printerName);
// "pellbluetooth://" + name.
std::string deviceUri(std::string_view printerName);

// The value after "status ". Matching is case-insensitive ("FINISHED" is Finished); any other
// value is Other.
enum class StatusWord { Finished, Error, PaperOut, Busy, Start, Other };
StatusWord parseStatusWord(std::string_view value);

}  // namespace pb
