// The command dispatcher: the first word of a text decides what the agent does.
#include "quorvel/MessageDispatcher.h"

#include "common/Channel.h"
#include "common/Words.h"

namespace quorvel {

MessageDispatcher::MessageDispatcher(Logger& logger, DispatcherActions actions)
    : logger_(logger), actions_(std::move(actions))
{
}

std::string MessageDispatcher::deviceNameFromUri(const std::string& uri)
{
    const std::string scheme(pb::kDeviceUriScheme);
    std::string name = uri;
    for (auto at = name.find(scheme); at != std::string::npos; at = name.find(scheme, at))
        name.erase(at, scheme.size());
    return name;
}

void MessageDispatcher::dispatch(const std::string& text)
{
    logger_.log("BidirectionalFIFO Received message: " + text);
    const std::vector<std::string> words = pb::splitWords(text);
    if (words.empty()) {
        // Nothing to act on: a reader started for it would wait for a job nobody sends.
        logger_.log("Empty command ignored");
        return;
    }
    const std::string& first = words.front();
    if (first == pb::kQueryWord) {
        actions_.startScan();
    } else if (first == pb::kDoPrintWord) {
        doPrint(words);
    } else if (first == pb::kAddPrintWord) {
        addPrint(words);
    } else if (first == pb::kCancelPrintWord) {
        cancelPrint(words);
    } else if (first == kForwardedVectorWord) {
        logger_.log("remove first params backend/pellbluetooth");
        actions_.performStart(std::vector<std::string>(words.begin() + 1, words.end()));
    } else {
        actions_.startCommunication();
    }
}

void MessageDispatcher::doPrint(const std::vector<std::string>& words)
{
    logger_.log("callback do print");
    // The backend sending it holds the channel now: whatever was left for the one before is not
    // for it.
    if (actions_.channelJobComing)
        actions_.channelJobComing();
    const std::string uri = words.size() > 1 ? words[1] : std::string();
    if (uri.rfind(kDevicePrefix, 0) == 0)
        actions_.setDeviceName(deviceNameFromUri(uri));
    else
        logger_.log("callback do print error: without pellbluetooth:// prefix");
    if (actions_.expectPrintData)
        actions_.expectPrintData(pb::printDataLength(words));
    actions_.startCommunication();
    logger_.log("BidirectionalFIFO do print deviceName " + uri);
}

void MessageDispatcher::cancelPrint(const std::vector<std::string>& words)
{
    const std::string uri = words.size() > 1 ? words[1] : std::string();
    if (uri.rfind(kDevicePrefix, 0) != 0) {
        logger_.log("cancelPrint without a pellbluetooth:// device ignored");
        return;
    }
    logger_.log("BidirectionalFIFO cancelPrint " + uri);
    if (actions_.cancelPrint)
        actions_.cancelPrint(deviceNameFromUri(uri));
}

void MessageDispatcher::addPrint(const std::vector<std::string>& words)
{
    const std::string name = words.size() > 1 ? std::string(pb::trimWhitespace(words[1])) : std::string();
    if (name.empty()) {
        logger_.log("addPrint without a printer name ignored");
        return;
    }
    logger_.log("BidirectionalFIFO addPrint " + name);
    actions_.checkPrinterLoop(name);
}

}  // namespace quorvel
