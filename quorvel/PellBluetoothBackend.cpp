// The print-job orchestrator: device names, job bytes, jobs kept until their printer's link is
// ready, forwarded argument vectors and spool files.
#include "quorvel/PellBluetoothBackend.h"

#include "common/Channel.h"
#include "common/HexText.h"
#include "common/RootPath.h"
#include "common/Words.h"
#include "quorvel/MessageDispatcher.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <thread>

namespace quorvel {

namespace {

constexpr const char* kSpoolFolder = "/var/spool/cups";
constexpr const char* kUsersFolder = "/Users";

// One pair of characters as an unsigned 8-bit number in base 16, the way a number parser that
// accepts a sign reads it: "1b", "+f" (15) and "-0" (0) parse; "-1" and "g0" do not.
std::optional<std::uint8_t> parsePair(std::string_view first, std::string_view second)
{
    if (first.size() != 1 || second.size() != 1)
        return std::nullopt;
    const int low = pb::hexDigitValue(second[0]);
    if (low < 0)
        return std::nullopt;
    if (first[0] == '+')
        return static_cast<std::uint8_t>(low);
    if (first[0] == '-')
        return low == 0 ? std::optional<std::uint8_t>(0) : std::nullopt;
    const int high = pb::hexDigitValue(first[0]);
    if (high < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(high * 16 + low);
}

// The length of the UTF-8 character that starts with `lead` (a stray byte counts as one).
std::size_t characterLength(unsigned char lead)
{
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

std::string joinedWith(const std::vector<std::string>& words, std::string_view separator)
{
    std::string text;
    for (const auto& word : words)
        text += (text.empty() ? "" : std::string(separator)) + word;
    return text;
}

// Reads a regular file whole. Opened without waiting (a FIFO planted at the path must not
// hold the agent) and checked through the open descriptor, so the file read is the one checked.
// With `folder`, the opened file must lie inside it (a link swapped in after the path was
// resolved is caught here).
// Who may own a spool file the agent reads for a forwarded vector: CUPS writes them as root
// or lp (and an agent run by hand reads its own user's).
bool isSpoolOwner(uid_t owner)
{
    static const uid_t lp = [] {
        const struct passwd* user = getpwnam("lp");
        return user != nullptr ? user->pw_uid : static_cast<uid_t>(0);
    }();
    return owner == 0 || owner == lp || owner == geteuid();
}

// `spoolOnly`: the file must also be CUPS's own (isSpoolOwner) and not reached through a link.
std::optional<std::vector<std::uint8_t>> readWholeFile(const std::string& path, std::uintmax_t limit,
                                                       const std::optional<std::string>& folder, bool spoolOnly)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (spoolOnly ? O_NOFOLLOW : 0));
    if (fd < 0)
        return std::nullopt;
    std::optional<std::vector<std::uint8_t>> bytes;
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && static_cast<std::uintmax_t>(status.st_size) <= limit &&
        (!spoolOnly || isSpoolOwner(status.st_uid))) {
        std::error_code error;
        const auto opened = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
        if (!folder || (!error && opened.rfind(*folder + "/", 0) == 0)) {
            bytes.emplace(static_cast<std::size_t>(status.st_size));
            std::size_t done = 0;
            while (done < bytes->size()) {
                const ssize_t count = ::read(fd, bytes->data() + done, bytes->size() - done);
                if (count <= 0) {
                    if (count < 0 && errno == EINTR)
                        continue;
                    break;
                }
                done += static_cast<std::size_t>(count);
            }
            bytes->resize(done);
        }
    }
    ::close(fd);
    return bytes;
}

}  // namespace

PellBluetoothBackend::PellBluetoothBackend(BLEPrinterManager& bleManager, DiscoveryReporter& broadcaster,
                                           Logger& logger, Paths paths, PrinterJobs& jobs, asio::io_context& mainQueue)
    : bleManager_(bleManager), broadcaster_(broadcaster), logger_(logger), paths_(std::move(paths)), jobs_(jobs),
      mainQueue_(mainQueue)
{
    // Installed now as well as at each device switch: a job waiting for the printer the manager
    // is already after must still be sent when that printer's link comes back.
    bleManager_.setCallback([this](std::shared_ptr<ble::Characteristic> characteristic,
                                   const std::optional<std::string>& printerName) {
        onCharacteristicFound(characteristic, printerName);
    });
}

PellBluetoothBackend::Paths PellBluetoothBackend::rootedPaths()
{
    return {pb::rootedPath(kSpoolFolder), pb::rootedPath(kUsersFolder)};
}

void PellBluetoothBackend::requestBluetooth()
{
    bleManager_.requestBluetoothAccess();
}

std::optional<std::string> PellBluetoothBackend::deviceName() const
{
    std::lock_guard lock(nameMutex_);
    return deviceName_;
}

void PellBluetoothBackend::setDeviceName(std::optional<std::string> name)
{
    std::lock_guard lock(nameMutex_);
    deviceName_ = std::move(name);
}

bool PellBluetoothBackend::isBroadcasting() const
{
    std::lock_guard lock(nameMutex_);
    return isBroadcasting_;
}

void PellBluetoothBackend::performStart(const std::vector<std::string>& arguments)
{
    log("Starting pellbluetooth backend... arguments: " + joinedWith(arguments, ", "));
    constexpr std::size_t kJobWords = 6;
    if (arguments.size() >= kJobWords) {
        log("Usage: bluetoothPrinterConnection [DeviceURI] [job-id] [user] [title] [num-copies] [file-path]");
        handlePrintTask(arguments);
        return;
    }
    if (!arguments.empty() && arguments.front().rfind(MessageDispatcher::kDevicePrefix, 0) == 0) {
        const std::string name = MessageDispatcher::deviceNameFromUri(arguments.front());
        setDeviceName(name);
        startScanAndBroadcast(name);
    }
}

std::string PellBluetoothBackend::spoolFilePath(const std::string& spoolFolder, const std::string& jobID)
{
    std::string_view text = jobID;
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    long long id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        id = 0;
    char name[64];
    std::snprintf(name, sizeof name, "/d%05lld-001", id);
    return spoolFolder + name;
}

std::optional<std::string> PellBluetoothBackend::resolveUsersFile(const std::string& usersFolder,
                                                                  const std::string& filePath)
{
    std::error_code error;
    const auto folder = std::filesystem::weakly_canonical(usersFolder, error);
    if (error)
        return std::nullopt;
    // The path names a place under "/Users/"; under a root prefix that is the prefixed folder.
    const std::string relative = filePath.substr(std::string_view(kUsersPrefix).size());
    const auto resolved = std::filesystem::weakly_canonical(folder / relative, error);
    if (error)
        return std::nullopt;
    const std::string folderText = folder.string() + "/";
    const std::string resolvedText = resolved.string();
    if (resolvedText.size() <= folderText.size() || resolvedText.compare(0, folderText.size(), folderText) != 0)
        return std::nullopt;
    return resolvedText;
}

std::optional<std::string> PellBluetoothBackend::jobFilePath(const std::string& jobID,
                                                             const std::string& filePath) const
{
    if (filePath.rfind(kUsersPrefix, 0) != 0)
        return spoolFilePath(paths_.spoolFolder, jobID);
    // The channels are writable by every local user: a path must not lead out of the folder it
    // names through "..", or through a link, to a file its sender could not read.
    auto resolved = resolveUsersFile(paths_.usersFolder, filePath);
    if (!resolved)
        log("Refused to read " + filePath + ": it does not lie under " + kUsersPrefix);
    return resolved;
}

void PellBluetoothBackend::handlePrintTask(const std::vector<std::string>& arguments)
{
    const std::string& jobID = arguments[1];
    const auto path = jobFilePath(jobID, arguments[5]);
    if (!path)
        return;
    log("print jobId " + jobID + "; filePath " + *path);
    printJob(arguments[0], jobID, arguments[2], arguments[3], arguments[4], *path);
}

void PellBluetoothBackend::printJob(const std::string& deviceURI, const std::string& jobID, const std::string& user,
                                    const std::string& title, const std::string& numCopies,
                                    const std::string& filePath)
{
    log("Executing print job on device " + deviceURI);
    if (deviceURI.rfind(MessageDispatcher::kDevicePrefix, 0) != 0) {
        log("Device error: without pellbluetooth prefix");
        return;
    }
    const std::string name = MessageDispatcher::deviceNameFromUri(deviceURI);
    setDeviceName(name);
    log("Device URI: " + name);
    log("Job ID: " + jobID);
    log("User: " + user);
    log("Title: " + title);
    log("Number of Copies: " + numCopies);
    log("File Path: " + filePath);
    std::optional<std::string> folder;
    std::error_code error;
    const std::string users = std::filesystem::weakly_canonical(paths_.usersFolder, error).string();
    if (!error && filePath.rfind(users + "/", 0) == 0)
        folder = users;
    // A spool file must be CUPS's: the channel is open to lp, and a job of another user there
    // must not be printed on the word of whoever else can write to the channel.
    const bool fromSpool = filePath.rfind(paths_.spoolFolder + "/", 0) == 0;
    auto bytes = readWholeFile(filePath, kMaxJobFileBytes, fromSpool ? std::optional(paths_.spoolFolder) : folder, fromSpool);
    if (!bytes) {
        log("无法读取打印数据文件");
        return;
    }
    // Nobody waits on the channel for a forwarded job: it gets no replies.
    deliverJob(std::string(bytes->begin(), bytes->end()), false);
    stopBroadcasting();
}

std::optional<std::vector<std::uint8_t>> PellBluetoothBackend::hexStringToData(std::string_view text)
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    std::string_view pending;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = std::min(characterLength(static_cast<unsigned char>(text[at])), text.size() - at);
        const std::string_view character = text.substr(at, length);
        at += length;
        if (pending.empty()) {
            pending = character;
            continue;
        }
        const auto byte = parsePair(pending, character);
        if (!byte)
            return std::nullopt;
        bytes.push_back(*byte);
        pending = {};
    }
    return bytes;
}

void PellBluetoothBackend::doPrint(std::string received)
{
    deliverJob(std::move(received), true);
}

void PellBluetoothBackend::deliverJob(std::string received, bool answersBackend)
{
    log("do print " + bleManager_.deviceName().value_or("") + "  data: " + std::to_string(received.size()));
    // The usual text is plain hexadecimal digits, decoded at once; anything else (signs,
    // characters of several bytes) goes through the character-wise reading.
    std::optional<std::vector<std::uint8_t>> decoded = pb::decodeHex(received);
    if (!decoded && pb::isValidUtf8(received))
        decoded = hexStringToData(received);
    if (!decoded) {
        std::puts("十六进制字符串转换为数据失败，发送原始数据");
        std::fflush(stdout);
        decoded.emplace(received.begin(), received.end());
    }
    received = {};
    const auto name = deviceName();
    checkBleMgr(name);
    if (!name) {
        // Without a printer name there is nothing to keep the job for.
        log("ble is not connected, pls connect it first");
        log("Job dropped: no printer named for it");
        std::this_thread::sleep_for(kNoLinkPause);
        bleManager_.startScan();
        return;
    }
    auto job = std::make_shared<std::vector<std::uint8_t>>(std::move(*decoded));
    asio::post(mainQueue_, [this, printer = *name, job, answersBackend] {
        jobs_.submit(printer, std::move(*job), answersBackend);
    });
    if (bleManager_.reConnect(name))
        return;
    log("ble is not connected, pls connect it first");
    log("Job kept until " + *name + " is connected");
    std::this_thread::sleep_for(kNoLinkPause);
    bleManager_.startScan();
}

void PellBluetoothBackend::onCharacteristicFound(const std::shared_ptr<ble::Characteristic>& characteristic,
                                                 const std::optional<std::string>& printerName)
{
    if (!characteristic)
        log("未找到可写特征");
    else
        log("可写特征已找到: " + characteristic->uuid().text());
    if (!printerName || printerName->empty())
        return;
    if (!jobs_.wantsPrinter(*printerName)) {
        log("打印数据为空");
        return;
    }
    // Without a data characteristic the manager ends the job as failed instead of printing.
    jobs_.linkReady(*printerName);
}

void PellBluetoothBackend::checkBleMgr(const std::optional<std::string>& name)
{
    const auto current = bleManager_.deviceName();
    if (name && current != name) {
        // No link is dropped for the switch: every printer keeps its own link (a job in flight
        // to another printer, or a printer whose queue waits, must not lose it).
        bleManager_.setDeviceName(name);
        bleManager_.setCallback([this](std::shared_ptr<ble::Characteristic> characteristic,
                                       const std::optional<std::string>& printerName) {
            onCharacteristicFound(characteristic, printerName);
        });
        log("创建新的 BLEPrinterManager 实例，设备名称: " + *name);
        return;
    }
    log("使用现有的 BLEPrinterManager 实例，设备名称: " + current.value_or(""));
}

void PellBluetoothBackend::startScan()
{
    log("Starting pellbluetooth scan");
    checkBleMgr(deviceName());
    bleManager_.startScan();
}

void PellBluetoothBackend::startScanAndBroadcast(const std::optional<std::string>& name)
{
    log("Starting pellbluetooth isScanning deviceName " + name.value_or(""));
    startScan();
}

bool PellBluetoothBackend::startConnect(const std::string& name)
{
    log("Starting pellbluetooth connect to deviceName " + name);
    checkBleMgr(name);
    return bleManager_.connect(name);
}

void PellBluetoothBackend::disconnectPrinter(const std::string& name)
{
    bleManager_.stopConnect(name);
    setDeviceName(std::nullopt);
}

void PellBluetoothBackend::startBroadcasting(const std::string& deviceName)
{
    {
        std::lock_guard lock(nameMutex_);
        if (isBroadcasting_)
            return;
        isBroadcasting_ = true;
    }
    broadcaster_.startBroadcasting(deviceName);
    log("startBroadcasting printer: " + deviceName + " on port 631");
}

bool PellBluetoothBackend::isPrinterConnected(const std::string& name)
{
    // A queue may name its printer by the start of its advertised name, as the scan matches it.
    for (const std::string& connected : bleManager_.connectedDeviceNames())
        if (connected.starts_with(name) && bleManager_.isConnected(connected))
            return true;
    return false;
}

void PellBluetoothBackend::ensureScanning()
{
    bleManager_.ensureScanning();
}

void PellBluetoothBackend::stopBroadcasting()
{
    {
        std::lock_guard lock(nameMutex_);
        if (!isBroadcasting_)
            return;
        isBroadcasting_ = false;
    }
    broadcaster_.stopBroadcasting();
    log("Broadcasting stopped.");
}

}  // namespace quorvel
