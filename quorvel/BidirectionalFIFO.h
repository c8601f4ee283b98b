// The agent's end of the channel to the backend: creates the reply FIFO, listens on the
// command FIFO, runs the print-data reader, and writes replies in order on one writer.
#pragma once

#include "common/Channel.h"
#include "common/MainQueue.h"
#include "common/SerialQueue.h"
#include "quorvel/FifoMessageReader.h"
#include "quorvel/Logger.h"
#include "quorvel/ReplyChannel.h"
#include "quorvel/ReplyQueue.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quorvel {

class BidirectionalFIFO : public ReplyChannel {
public:
    // Construction creates the reply channel afresh (anything at its path is removed first)
    // and starts the reply writer, which waits for a backend to read.
    BidirectionalFIFO(pb::ChannelPaths paths, pb::MainQueue& mainQueue, Logger& logger);
    // Wakes and joins every thread it started; replies still waiting are dropped.
    ~BidirectionalFIFO() override;
    BidirectionalFIFO(const BidirectionalFIFO&) = delete;
    BidirectionalFIFO& operator=(const BidirectionalFIFO&) = delete;

    // The program's instance: the channels under the root prefix, made on first use.
    static BidirectionalFIFO& shared();

    // Called on the main queue with each received command text. Set before start(); does
    // nothing until then.
    std::function<void(const std::string& text)> callback = [](const std::string&) {};
    // Called on the print-data reader's thread with each job text (the backend's hex text,
    // valid UTF-8). Set before start().
    std::function<void(std::string text)> printDataCallback = [](std::string) {};
    // The BLE manager's device name, for the reader's log line; empty when none. Any thread.
    std::function<std::string()> currentDeviceName = [] { return std::string(); };

    // Sets isFiFoStarted and starts listening. Called once.
    void start();
    // Starts the command read loop on its serial queue and returns at once.
    void startListening();
    // Starts the print-data reader unless it runs. Returns at once. Any thread.
    void startCommunication();
    // The coming job's print data is `length` bytes (nothing: it ends when its writer closes
    // the channel). Called before startCommunication. Any thread.
    void expectPrintData(std::optional<std::uint64_t> length);
    // Ends the print-data reader after the text it is reading now (if any) has been handed
    // over. Any thread.
    void stopReading() override;
    // Queues one reply for the writer and returns at once; replies are written in order, each
    // as one open-write-close. Any thread.
    void writeMessage(const std::string& message) override;
    void dropStatusReplies() override;

    // Runs the callback for one received text (the main queue's thread).
    void handleReceivedMessage(const std::string& text);

    bool isReading() const;
    bool isFiFoStarted() const { return isFiFoStarted_; }
    const pb::ChannelPaths& paths() const { return paths_; }

    // The pause after each job text the print-data reader hands over.
    static constexpr std::chrono::milliseconds kReadPause{100};
    // Log lines show this many characters of a job text or a reply.
    static constexpr std::size_t kLoggedJobCharacters = 50;
    static constexpr std::size_t kLoggedReplyCharacters = 100;

private:
    void setupFIFOs();
    bool ensureCommandChannel();
    // Keeps a fit channel at `path` (true), or removes an unfit one so it can be made afresh
    // (false); true as well when it cannot be removed.
    bool replaceUnfitChannel(const std::string& path);
    void readLoop();
    void deliver(const std::string& text);
    void printDataLoop();
    bool openPrintChannel(FifoMessageReader& reader);
    void handOverJob(std::string text);
    void writerLoop();

    const pb::ChannelPaths paths_;
    pb::MainQueue& mainQueue_;
    Logger& logger_;
    // Posted work holds this weakly, so nothing runs on an instance that has gone.
    std::shared_ptr<BidirectionalFIFO*> alive_;

    std::atomic<bool> isFiFoStarted_{false};
    std::atomic<bool> isListening_{false};
    FifoMessageReader commandReader_{pb::kMaxCommandBytes};

    mutable std::mutex readerMutex_;
    bool isReading_ = false;      // the reader is to go on after its current text
    std::uint64_t expectedLength_ = 0;  // for a reader not open yet; 0: none
    bool readerRunning_ = false;  // a reader thread exists (it may be waiting for a writer)
    bool shuttingDown_ = false;
    FifoMessageReader* printReader_ = nullptr;  // the running reader's, for waking at the end
    std::thread printThread_;

    ReplyQueue replies_;
    std::atomic<bool> writerStopping_{false};
    std::thread writerThread_;

    pb::SerialQueue queue_{"com.pelltandle.bluetooth.fifo"};
};

}  // namespace quorvel
