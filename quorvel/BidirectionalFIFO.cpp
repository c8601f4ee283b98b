// The agent's FIFO server: reply channel set-up, command read loop, print-data reader and the
// reply writer.
#include "quorvel/BidirectionalFIFO.h"

#include "common/ChannelLock.h"
#include "common/Fifo.h"
#include "common/Words.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace quorvel {

BidirectionalFIFO& BidirectionalFIFO::shared()
{
    // Never destroyed: its threads wait in FIFO opens and reads until the process ends.
    static BidirectionalFIFO* instance =
        new BidirectionalFIFO(pb::rootedChannelPaths(), pb::MainQueue::shared(), Logger::shared());
    return *instance;
}

BidirectionalFIFO::BidirectionalFIFO(pb::ChannelPaths paths, pb::MainQueue& mainQueue, Logger& logger)
    : paths_(std::move(paths)), mainQueue_(mainQueue), logger_(logger),
      alive_(std::make_shared<BidirectionalFIFO*>(this))
{
    setupFIFOs();
    writerThread_ = std::thread([this] { writerLoop(); });
}

BidirectionalFIFO::~BidirectionalFIFO()
{
    alive_.reset();
    isListening_ = false;
    commandReader_.stop();
    {
        std::lock_guard lock(readerMutex_);
        shuttingDown_ = true;
        isReading_ = false;
        if (printReader_ != nullptr)
            printReader_->stop();
    }
    if (printThread_.joinable())
        printThread_.join();
    replies_.close();
    writerStopping_ = true;
    // The writer may wait in its open for a backend that never comes: be that reader until it
    // has ended.
    int fd = ::open(paths_.reply.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    writerThread_.join();
    if (fd >= 0)
        ::close(fd);
}

void BidirectionalFIFO::setupFIFOs()
{
    logger_.log("Current user: " + std::to_string(getuid()));
    // Backends take turns on the channel through this lock; made here too, so the first
    // backend after an agent start never has to.
    if (std::error_code error = pb::makeChannelLockFile(paths_.lock))
        logger_.log("Failed to create the channel lock file " + paths_.lock + ": " + error.message());
    const std::string& path = paths_.reply;
    logger_.log("Processing path: " + path);
    // A backend may be waiting on the channel for the outcome of a job the agent we replace
    // was sending: a FIFO made afresh would leave it listening on the old one until its wait
    // ran out. A FIFO already there is kept if it is ours (or root's) and closed to others;
    // anything else there (in /tmp, anyone could have put it) is removed and made again.
    if (pb::pathExists(path) && replaceUnfitChannel(path))
        return;
    logger_.log("Creating FIFO at: " + path);
    logger_.log("Setting permissions for FIFO at: " + path);
    if (std::error_code error = pb::makeChannelFifo(path))
        logger_.log("Failed to create FIFO: " + path + ": " + error.message());
    else
        logger_.log("Successfully created FIFO at: " + path);
}

bool BidirectionalFIFO::replaceUnfitChannel(const std::string& path)
{
    const auto why = pb::whyUnfitChannelPath(path);
    if (!why) {
        logger_.log("FIFO exists, keeping it: " + path);
        return true;
    }
    logger_.log("File exists, removing: " + path + " (" + *why + ")");
    std::error_code error;
    std::filesystem::remove(path, error);
    if (error) {
        logger_.log("Failed to setup FIFO at " + path + ": " + error.message());
        return true;
    }
    return false;
}

void BidirectionalFIFO::start()
{
    isFiFoStarted_ = true;
    startListening();
}

void BidirectionalFIFO::startListening()
{
    isListening_ = true;
    std::weak_ptr<BidirectionalFIFO*> weak = alive_;
    queue_.post([this, weak] {
        logger_.log("startReading");
        if (weak.lock())
            readLoop();
    });
}

// The backend creates the command channel only when it sends; an agent started first would
// otherwise find nothing to listen on and stay deaf for its whole run.
bool BidirectionalFIFO::ensureCommandChannel()
{
    const std::string& path = paths_.command;
    if (pb::pathExists(path) && replaceUnfitChannel(path))
        return true;
    logger_.log("Command channel missing, creating FIFO at: " + path);
    std::error_code error = pb::makeChannelFifo(path);
    if (error && error != std::errc::file_exists) {
        logger_.log("Failed to create FIFO at " + path + ": " + error.message());
        return false;
    }
    return true;
}

void BidirectionalFIFO::readLoop()
{
    std::error_code error;
    if (!ensureCommandChannel() || (error = commandReader_.open(paths_.command))) {
        std::puts("无法打开 FIFO 进行读取");
        std::fflush(stdout);
        if (error)
            logger_.log("Failed to open " + paths_.command + " for reading: " + error.message());
        return;
    }
    logger_.log("readLoop");
    std::string text;
    while (isListening_) {
        switch (commandReader_.next(text, error)) {
        case FifoMessageReader::Result::Stopped:
            return;
        case FifoMessageReader::Result::Failed:
            logger_.log("Error reading from FIFO: " + error.message());
            // The read end is gone (the FIFO was replaced or removed); listen on a fresh one.
            if (!ensureCommandChannel() || (error = commandReader_.open(paths_.command))) {
                logger_.log("Failed to open " + paths_.command + " for reading: " + error.message());
                return;
            }
            break;
        case FifoMessageReader::Result::Message:
            deliver(text);
            break;
        case FifoMessageReader::Result::Oversized:
            logger_.log("Command dropped: " + std::to_string(commandReader_.droppedBytes()) +
                        " bytes, over the limit of " + std::to_string(pb::kMaxCommandBytes));
            break;
        }
    }
}

void BidirectionalFIFO::deliver(const std::string& text)
{
    if (!pb::isValidUtf8(text)) {
        logger_.log("Command dropped: " + std::to_string(text.size()) + " bytes that are not UTF-8 text");
        return;
    }
    logger_.log("reading: " + text);
    std::weak_ptr<BidirectionalFIFO*> weak = alive_;
    mainQueue_.post([this, weak, text] {
        logger_.log("handle : " + text);
        if (weak.lock())
            handleReceivedMessage(text);
    });
}

void BidirectionalFIFO::handleReceivedMessage(const std::string& text)
{
    logger_.log("handleReceivedMessage call");
    callback(text);
}

void BidirectionalFIFO::expectPrintData(std::optional<std::uint64_t> length)
{
    std::lock_guard lock(readerMutex_);
    expectedLength_ = length.value_or(0);
    if (printReader_ != nullptr)
        printReader_->expectLength(expectedLength_);
}

void BidirectionalFIFO::startCommunication()
{
    logger_.log("等待读取打印数据，base64数据");
    std::lock_guard lock(readerMutex_);
    if (isReading_ || shuttingDown_)
        return;
    isReading_ = true;
    // A reader told to stop may still wait for its last writer: it simply goes on.
    if (readerRunning_)
        return;
    readerRunning_ = true;
    if (printThread_.joinable())
        printThread_.join();  // a reader that has already ended
    printThread_ = std::thread([this] { printDataLoop(); });
}

void BidirectionalFIFO::stopReading()
{
    std::lock_guard lock(readerMutex_);
    isReading_ = false;
}

bool BidirectionalFIFO::isReading() const
{
    std::lock_guard lock(readerMutex_);
    return isReading_;
}

bool BidirectionalFIFO::openPrintChannel(FifoMessageReader& reader)
{
    std::error_code error = reader.open(paths_.printData);
    std::lock_guard lock(readerMutex_);
    if (error) {
        // Clear the flags, or no later job would ever start a reader.
        isReading_ = false;
        readerRunning_ = false;
        logger_.log("Failed to open " + paths_.printData + " for reading: " + error.message());
        return false;
    }
    if (shuttingDown_) {
        readerRunning_ = false;
        return false;
    }
    printReader_ = &reader;
    reader.expectLength(expectedLength_);
    return true;
}

void BidirectionalFIFO::printDataLoop()
{
    FifoMessageReader reader(2 * pb::kMaxJobBytes);
    if (!openPrintChannel(reader))
        return;
    std::string text;
    std::error_code error;
    for (;;) {
        const auto result = reader.next(text, error);
        if (result == FifoMessageReader::Result::Failed)
            logger_.log("Error reading from FIFO: " + error.message());
        if (result == FifoMessageReader::Result::Oversized) {
            logger_.log("Print data dropped: " + std::to_string(reader.droppedBytes()) + " bytes of hex text, over a job of " +
                        std::to_string(pb::kMaxJobBytes) + " bytes");
            writeMessage(std::string(pb::kStatusError));
        }
        if (result == FifoMessageReader::Result::Message) {
            handOverJob(std::move(text));
            text.clear();
            std::this_thread::sleep_for(kReadPause);
        }
        std::lock_guard lock(readerMutex_);
        // A failed read ends the reader too (its FIFO has gone); the next job starts a new one.
        if (result != FifoMessageReader::Result::Message)
            isReading_ = false;
        if (!isReading_) {
            readerRunning_ = false;
            printReader_ = nullptr;
            return;
        }
    }
}

namespace {

// A job's text is hexadecimal digits, plain ASCII: checked eight bytes at a time, it needs no
// character-by-character UTF-8 check.
bool isAscii(std::string_view text)
{
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    std::size_t at = 0;
    for (; at + sizeof(std::uint64_t) <= text.size(); at += sizeof(std::uint64_t)) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + at, sizeof word);
        if ((word & kHighBits) != 0)
            return false;
    }
    for (; at < text.size(); ++at)
        if (static_cast<unsigned char>(text[at]) >= 0x80)
            return false;
    return true;
}

}  // namespace

void BidirectionalFIFO::handOverJob(std::string text)
{
    if (!isAscii(text) && !pb::isValidUtf8(text)) {
        logger_.log("Print data dropped: " + std::to_string(text.size()) + " bytes that are not UTF-8 text");
        return;
    }
    logger_.log("读取base64数据：" + std::string(pb::utf8Prefix(text, kLoggedJobCharacters)) + "; " +
                currentDeviceName());
    printDataCallback(std::move(text));
}

void BidirectionalFIFO::writeMessage(const std::string& message)
{
    logger_.log("start Wrote message: " + message);
    auto result = replies_.push(message);
    if (result.dropped)
        logger_.log("Reply dropped, more than " + std::to_string(ReplyQueue::kMaxWaitingDiscoveryReports) +
                    " discovery reports wait for a reader: " + *result.dropped);
}

void BidirectionalFIFO::dropStatusReplies()
{
    if (const std::size_t dropped = replies_.dropStatusReplies())
        logger_.log("Dropped " + std::to_string(dropped) + " status replies meant for an earlier job");
}

void BidirectionalFIFO::writerLoop()
{
    while (auto message = replies_.pop()) {
        if (writerStopping_)
            return;
        std::error_code error = pb::writeToFifo(paths_.reply, *message);
        if (error)
            logger_.log("Error writing to FIFO: " + error.message());
        else
            logger_.log("Wrote message: " + std::string(pb::utf8Prefix(*message, kLoggedReplyCharacters)));
    }
}

}  // namespace quorvel
