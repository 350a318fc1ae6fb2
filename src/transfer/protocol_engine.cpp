#include "transfer/protocol_engine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/file_io.h"
#include "serial/error_codes.h"
#include "transfer/port_glue.h"

namespace kavo {

namespace {

// Records of running transfers by dispatcher handle: how a trigger message finds its record.
std::mutex registryLock;
std::map<std::int32_t, ProtocolData*>& Registry() {
    static std::map<std::int32_t, ProtocolData*> registry;
    return registry;
}

std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
        table[i] = crc;
    }
    return table;
}

const std::array<std::uint16_t, 256> crcTable = MakeCrcTable();

// The run-time library's I/O error codes for the errno values a file open or read can give.
std::int32_t IoErrorFromErrno(int error, std::int32_t fallback) {
    switch (error) {
    case ENOENT: return ecFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return ecPathNotFound;
    case EMFILE:
    case ENFILE: return ecTooManyFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ecAccessDenied;
    case EBADF: return ecInvalidHandle;
    case ENOMEM: return ecOutOfMemory;
    default: return fallback;
    }
}

// A missing file is "file not found", a missing folder on its path "path not found".
std::int32_t OpenErrorOf(const std::string& path, int error) {
    if (error == ENOENT) {
        const std::size_t slash = LastPathSeparator(path);
        if (slash != std::string::npos && slash > 0) {
            TFileFacts folder;
            if (ReadFileFacts(path.substr(0, slash), folder) != 0 || !folder.folder) return ecPathNotFound;
        }
        return ecFileNotFound;
    }
    return IoErrorFromErrno(error, ecAccessDenied);
}

std::int32_t SendToWindow(ProtocolData& data, std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if (data.MessageWindow == 0) return 0;
    LRESULT result = 0;
    if (!SendMessageTimeout(data.MessageWindow, msg, wParam, lParam, MessageTimeoutMs, &result)) {
        return 0;
    }
    return static_cast<std::int32_t>(result);
}

// An error code travels in the low 16 bits of wParam; the component sign-extends it.
WPARAM CodeParam(std::int32_t code) {
    return static_cast<WPARAM>(static_cast<std::uint16_t>(code));
}

std::string Truncated(std::string text) {
    if (text.size() > MaxPathLength) text.resize(MaxPathLength);
    return text;
}

void CloseSearch(ProtocolData& data) {
    data.SearchState.clear();
    data.SearchIndex = 0;
    data.SearchActive = false;
}

// Masks know two wildcards, '*' (any run of characters) and '?' (any one character); every other
// character, brackets included, stands for itself, so any file name can be given as it is.
bool HasWildcard(const std::string& mask) {
    return mask.find_first_of("*?") != std::string::npos;
}

bool MaskMatches(const char* mask, const char* name) {
    while (*mask) {
        if (*mask == '*') {
            while (*mask == '*') ++mask;
            if (!*mask) return true;
            for (const char* rest = name; *rest; ++rest) {
                if (MaskMatches(mask, rest)) return true;
            }
            return false;
        }
        if (!*name || (*mask != '?' && *mask != *name)) return false;
        ++mask;
        ++name;
    }
    return *name == 0;
}

std::uint32_t LogTypeFor(TProtocolType type) {
    switch (type) {
    case ptXmodem:
    case ptXmodemCRC:
    case ptXmodem1K:
    case ptXmodem1KG: return lgXmodem;
    case ptYmodem:
    case ptYmodemG: return lgYmodem;
    case ptZmodem: return lgZmodem;
    case ptKermit: return lgKermit;
    case ptAscii: return lgAscii;
    default: return lgXmodem;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Record lifecycle.

std::int32_t InitProtocolData(std::unique_ptr<ProtocolData>& data, TApdCustomComPort* port,
                              std::uint32_t options) {
    data = std::make_unique<ProtocolData>();
    data->ComPort = port;
    data->Options = options;
    data->CharsPerSecond = 0;  // taken from the port at the first start (SetLineSpeed)
    data->StatusProc = DefaultStatusProc;
    data->LogProc = DefaultLogProc;
    data->NextFileProc = DefaultNextFileProc;
    data->AcceptFileProc = DefaultAcceptFileProc;
    data->PrepareReadProc = DefaultPrepareRead;
    data->ReadBlockProc = DefaultReadBlock;
    data->FinishReadProc = DefaultFinishRead;
    return ecOK;
}

void DoneProtocolData(std::unique_ptr<ProtocolData>& data) {
    if (!data) return;
    if (data->Started) StopProtocol(*data);
    DefaultFinishRead(*data);
    data.reset();
}

void SetMessageWindow(ProtocolData& data, HWND window) { data.MessageWindow = window; }
void SetComPort(ProtocolData& data, TApdCustomComPort* port) { data.ComPort = port; }

void SetFileName(ProtocolData& data, const std::string& name) {
    if (name.find('/') != std::string::npos) {
        data.PathName = Truncated(name);
        return;
    }
    std::string path = data.DestinationDirectory;
    if (!path.empty() && path.back() != '/') path += '/';
    data.PathName = Truncated(path + name);
}

void SetLineSpeed(ProtocolData& data, std::uint32_t baud) {
    std::uint32_t bits = 10;
    if (data.Line && data.Line->IsOpen()) bits = data.Line->BitsPerCharacter();
    if (bits == 0) bits = 10;
    data.CharsPerSecond = baud / bits;
}

// ---------------------------------------------------------------------------------------------
// Running a protocol.

ProtocolData* FindProtocolData(std::int32_t lParam) {
    const std::int32_t handle = static_cast<std::int32_t>(static_cast<std::uint32_t>(lParam) >> 16);
    std::lock_guard<std::mutex> guard(registryLock);
    auto it = Registry().find(handle);
    return it == Registry().end() ? nullptr : it->second;
}

namespace {

// The one procedure attached to a dispatcher for every running protocol: finds the record and
// runs its state machine.
void EngineTriggerHandler(std::uint32_t msg, std::uint32_t first, std::int32_t lParam) {
    ProtocolData* data = FindProtocolData(lParam);
    if (!data || !data->StateMachine) return;
    data->StateMachine(*data, msg, first);
}

void Unregister(ProtocolData& data) {
    std::lock_guard<std::mutex> guard(registryLock);
    for (auto it = Registry().begin(); it != Registry().end();) {
        if (it->second == &data) {
            it = Registry().erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

void StartProtocol(ProtocolData& data, TProtocolType protocolType, ProtocolStepProc stateMachine,
                   ProtocolPrepareProc prepare) {
    std::unique_lock<std::recursive_mutex> lock(data.Lock);
    // A second start while this record's transfer runs would double its triggers and attach the
    // state machine twice; the running transfer is left alone.
    if (data.Started) return;
    data.ProtocolType = protocolType;
    data.StateMachine = stateMachine;
    data.FirstSearch = true;
    data.ErrorCode = 0;
    data.FinishPosted = false;

    TProtocolLine* line = data.Line;
    if (!line || !line->IsOpen()) {
        // A device that went between the port's open and this start ends the transfer as one
        // that goes during it: a lost device, not a closed port.
        data.ErrorCode = line && line->DeviceGone() ? line->GoneError() : ecNotOpen;
        FinishProtocol(data);
        return;
    }

    line->SetAvailTriggerLevel(1);
    data.Started = true;
    try {
        // Creation raises through the port's error check when the dispatcher has no slot left.
        data.TimeoutTimer = line->CreateTimerTrigger();
        data.StatusTimer = line->CreateTimerTrigger();
        data.OutFreeTrigger = line->CreateStatusTrigger(stOutBuffFree);
        data.OutDrainTrigger = line->CreateStatusTrigger(stOutBuffUsed);
        data.CarrierTrigger = line->CreateStatusTrigger(stModem);
    } catch (...) {
        StopProtocol(data);  // the triggers made so far go again
        throw;
    }
    if (data.TimeoutTimer < 0 || data.StatusTimer < 0 || data.OutFreeTrigger < 0 ||
        data.OutDrainTrigger < 0 || data.CarrierTrigger < 0) {
        data.ErrorCode = ecNoMoreTriggers;
        FinishProtocol(data);
        return;
    }

    line->SetUserData(&data);
    {
        std::lock_guard<std::mutex> guard(registryLock);
        Registry()[line->DispatcherHandle()] = &data;
    }

    prepare(data);
    if (data.ErrorCode != 0) {
        FinishProtocol(data);
        return;
    }
    // The first step opens the file and starts the handshake.
    data.StateMachine(data, 0, 0);
    if (data.ErrorCode != 0 || !data.Started) return;

    line->ArmTimerTrigger(data.StatusTimer, static_cast<std::int32_t>(data.StatusInterval));
    if (data.Options & OptAbortNoCarrier) {
        if (line->CarrierPresent()) {
            line->ArmStatusTrigger(data.CarrierTrigger, 0x80);
        } else {
            data.ErrorCode = ecAbortNoCarrier;
            FinishProtocol(data);
            return;
        }
    }
    line->AttachTriggerHandler(EngineTriggerHandler);
}

void StopProtocol(ProtocolData& data) {
    std::unique_lock<std::recursive_mutex> lock(data.Lock);
    TProtocolLine* line = data.Line;
    std::int32_t* handles[] = {&data.StatusTimer, &data.TimeoutTimer, &data.OutFreeTrigger,
                               &data.OutDrainTrigger, &data.CarrierTrigger};
    for (std::int32_t* handle : handles) {
        if (*handle > 0 && line && !line->DeviceGone()) line->DeleteTrigger(*handle);
        *handle = 0;
    }
    if (line && data.Started) {
        line->DetachTriggerHandler(EngineTriggerHandler);
        line->SetUserData(nullptr);
    }
    Unregister(data);
    data.Started = false;
    CloseSearch(data);
    if (data.FinishReadProc) data.FinishReadProc(data);
}

std::int32_t ErrorForStatus(std::int32_t status) {
    switch (status) {
    case psFileRejected: return ecFileRejected;
    case psCantWriteFile: return ecCantWriteFile;
    case psTimeout: return ecTimeout;
    case psProtocolError: return ecProtocolError;
    case psCancelRequested: return ecCancelRequested;
    case psSequenceError: return ecSequenceError;
    case psAbortNoCarrier: return ecAbortNoCarrier;
    case psAbort: return ecProtocolAbort;
    default: return ecOK;
    }
}

void FinishProtocol(ProtocolData& data) {
    std::unique_lock<std::recursive_mutex> lock(data.Lock);
    // One finish per start: a transfer that a handler ended from inside one of its own steps is
    // not finished a second time when that step returns.
    if (data.FinishPosted) return;
    data.FinishPosted = true;
    StopProtocol(data);
    if (data.ErrorCode == 0) data.ErrorCode = ErrorForStatus(data.Status);
    if (data.Line && !data.Line->DeviceGone()) {
        const std::string text = "ErrorCode:" + std::to_string(data.ErrorCode);
        data.Line->AddLogEntry(LogTypeFor(data.ProtocolType), lgProtocolError, text.c_str());
    }
    if (data.MessageWindow != 0) {
        PostMessage(data.MessageWindow, ProtocolFinishMsg, CodeParam(data.ErrorCode),
                    reinterpret_cast<LPARAM>(&data));
    }
}

void ResetStatus(ProtocolData& data) {
    if (data.InProgress == 0) data.FileLength = 0;
    data.TransferredBytes = 0;
    data.BlockNumber = 0;
    data.ElapsedTicks = 0;
    data.BlockErrors = 0;
    data.TotalErrors = 0;
    data.ErrorCode = 0;
    data.Status = psOK;
}

void ShowFirstStatus(ProtocolData& data) {
    data.StatusProc(data, data.InProgress == 0 ? StatusOptionFirst : 0);
    ++data.InProgress;
}

void ShowLastStatus(ProtocolData& data) {
    if (data.InProgress == 0) return;
    --data.InProgress;
    data.StatusProc(data, data.InProgress == 0 ? StatusOptionLast : 0);
}

void ReportError(ProtocolData& data, std::int32_t code) {
    // The code is the transfer's before anyone hears of it: a handler of the error event that
    // cancels the transfer (by closing its port) must find it ending with this code already.
    data.ErrorCode = code;
    SendToWindow(data, ProtocolErrorMsg, CodeParam(code), 0);
}

bool NextMatchingFile(ProtocolData& data, std::string& name) {
    name.clear();
    const std::string& mask = data.SearchMask;
    if (mask.empty()) {
        ReportError(data, ecNoSearchMask);
        return false;
    }
    const std::size_t slash = LastPathSeparator(mask);
    const std::string folder = slash == std::string::npos ? std::string() : mask.substr(0, slash + 1);
    std::string pattern = slash == std::string::npos ? mask : mask.substr(slash + 1);

    if (data.FirstSearch) {
        CloseSearch(data);
        data.FirstSearch = false;
        const std::string dirPath = folder.empty() ? std::string(".") : folder;
        TFileFacts dirInfo;
        const int dirError = ReadFileFacts(dirPath, dirInfo);
        if (dirError != 0 || !dirInfo.folder) {
            if (dirError == EACCES) {
                ReportError(data, ecAccessDenied);
            } else {
                ReportError(data, ecDirNotFound);
            }
            return false;
        }
        if (!HasWildcard(pattern)) {
            // A plain file name: exactly that file.
            TFileFacts info;
            if (const int error = ReadFileFacts(folder + pattern, info); error != 0) {
                ReportError(data, IoErrorFromErrno(error, ecFileNotFound));
                return false;
            }
            if (!info.regular) {
                ReportError(data, ecFileNotFound);
                return false;
            }
            data.SearchState.push_back(pattern);
        } else {
            // "*.*" means every file, as users of such masks expect.
            if (pattern == "*.*") pattern = "*";
            std::error_code ec;
            std::filesystem::directory_iterator dir(PathFromUtf8(dirPath), ec);
            if (ec) {
                ReportError(data, IoErrorFromErrno(ec.default_error_condition().value(), ecPathNotFound));
                return false;
            }
            for (; dir != std::filesystem::directory_iterator(); dir.increment(ec)) {
                const std::string entryName = Utf8FromPath(dir->path().filename());
                if (!MaskMatches(pattern.c_str(), entryName.c_str())) continue;
                TFileFacts info;
                if (ReadFileFacts(folder + entryName, info) != 0 || !info.regular) continue;
                data.SearchState.push_back(entryName);
            }
            std::sort(data.SearchState.begin(), data.SearchState.end());
            if (data.SearchState.empty()) {
                ReportError(data, ecNoMatchingFiles);
                CloseSearch(data);
                return false;
            }
        }
        data.SearchActive = true;
    }
    if (!data.SearchActive || data.SearchIndex >= data.SearchState.size()) {
        // The list is done.
        CloseSearch(data);
        return false;
    }
    name = folder + data.SearchState[data.SearchIndex++];
    return true;
}

void PaceStatus(ProtocolData& data, std::uint32_t trigger) {
    const bool statusEvent = data.StatusTimer != 0 && trigger == static_cast<std::uint32_t>(data.StatusTimer);
    if (!statusEvent && !data.ForceStatus) return;
    if (data.TimingStarted) {
        data.ElapsedTicks = TickTimerElapsed(data.TransferTimer);
    }
    std::int32_t left = 0;
    if (!data.Line || data.Line->TimerTicksLeft(data.StatusTimer, &left) < 0) left = 0;
    if (left > 0) return;
    data.StatusProc(data, 0);
    if (data.Line) data.Line->ArmTimerTrigger(data.StatusTimer, static_cast<std::int32_t>(data.StatusInterval));
    data.ForceStatus = false;
}

// ---------------------------------------------------------------------------------------------
// Figures.

std::int64_t BytesTransferred(ProtocolData& data) {
    std::int64_t used = 0;
    if (data.ComPort) {
        used = PortOutputUsed(data.ComPort);
    } else if (data.Line) {
        used = data.Line->IsOpen() ? data.Line->OutputUsed() : 0;
    } else {
        return 0;
    }
    // Each figure is read once: the transfer may move them meanwhile.
    const std::int64_t transferred = data.TransferredBytes;
    const std::int64_t blockLength = data.BlockLength;
    if (blockLength == 0 || used < blockLength) return transferred;
    const std::int64_t result = transferred - (used - (used / blockLength) * data.Overhead);
    return result > 0 ? result : 0;
}

std::int64_t BytesRemaining(ProtocolData& data) {
    const std::int64_t remaining = data.FileLength - BytesTransferred(data);
    return remaining > 0 ? remaining : 0;
}

std::int64_t EstimateTransferSecs(const ProtocolData& data, std::int64_t bytes) {
    if (bytes == 0) return 0;
    const std::int64_t cps = data.CharsPerSecond;
    const std::int64_t blockLength = data.BlockLength;
    const std::int64_t d = static_cast<std::int64_t>(data.TurnDelay) * cps / 1000 + blockLength + data.Overhead;
    if (d <= 0) return 0;
    const std::int64_t efficiency = blockLength * 100 / d;
    const std::int64_t effective = cps * efficiency / 100;
    if (effective <= 0) return 0;
    return bytes / effective;
}

// ---------------------------------------------------------------------------------------------
// Block checks.

std::uint32_t UpdateChecksum(std::uint8_t byte, std::uint32_t value) { return value + byte; }

std::uint16_t UpdateCrc16(std::uint8_t byte, std::uint16_t crc) {
    return static_cast<std::uint16_t>(crcTable[crc >> 8] ^ static_cast<std::uint16_t>(crc << 8) ^ byte);
}

std::uint16_t BlockCrc16(const std::uint8_t* data, std::size_t length) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) crc = UpdateCrc16(data[i], crc);
    crc = UpdateCrc16(0, crc);
    return UpdateCrc16(0, crc);
}

std::string ProtocolStatusText(std::int32_t status) {
    static const char* const texts[] = {
        "OK",
        "Protocol handshaking in progress",
        "Bad date/time stamp received and ignored",
        "File rejected",
        "File renamed",
        "File skipped",
        "File doesn't exist locally, skipped",
        "File skipped ",
        "Time out in protocol",
        "Bad checksum or CRC",
        "Block too long",
        "Duplicate block received and ignored ",
        "Error in protocol",
        "Cancel requested",
        "At end of file",
        "B+ host refused resume request",
        "Block was out of sequence",
        "Aborting on carrier loss",
        "Got CrcE packet (Zmodem)",
        "Got CrcG packet (Zmodem)",
        "Got CrcW packet (Zmodem)",
        "Got CrcQ packet (Zmodem)",
        "B+ is trying to resume a download",
        "B+ host is resuming",
    };
    if (status < 4700 || status > 4723) return std::string();
    return texts[status - 4700];
}

// ---------------------------------------------------------------------------------------------
// Default reporting routines.

void DefaultStatusProc(ProtocolData& data, std::uint32_t options) {
    SendToWindow(data, ProtocolStatusMsg, options, reinterpret_cast<LPARAM>(&data));
}

void DefaultLogProc(ProtocolData& data, std::uint32_t code) {
    SendToWindow(data, ProtocolLogMsg, code, reinterpret_cast<LPARAM>(&data));
}

bool DefaultNextFileProc(ProtocolData& data, std::string& name) {
    char* buffer = data.NameBuffer.data();
    std::memset(buffer, 0, data.NameBuffer.size());
    std::memcpy(buffer, name.data(), std::min(name.size(), MaxPathLength));
    // No answer within the time-out: no file.
    const std::int32_t result =
        SendToWindow(data, ProtocolNextFileMsg, 0, reinterpret_cast<LPARAM>(buffer));
    if (result == 0) return false;
    buffer[MaxPathLength] = 0;
    name = buffer;
    return true;
}

bool DefaultAcceptFileProc(ProtocolData& data, std::string& name) {
    char* buffer = data.NameBuffer.data();
    std::memset(buffer, 0, data.NameBuffer.size());
    std::memcpy(buffer, name.data(), std::min(name.size(), MaxPathLength));
    // No answer within the time-out: not accepted.
    const std::int32_t result =
        SendToWindow(data, ProtocolAcceptFileMsg, 0, reinterpret_cast<LPARAM>(buffer));
    if (result != 1) return false;
    buffer[MaxPathLength] = 0;
    name = buffer;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Default file routines for sending.

void DefaultPrepareRead(ProtocolData& data) {
    data.ErrorCode = 0;
    if (data.FileOpen) return;
    if (data.PathName.empty()) {
        ReportError(data, ecFileNotFound);
        return;
    }
    // The file is read once, here: the transfer sends this image, so a file rewritten during the
    // transfer cannot reach the receiver half old, half new.
    TFirmwareImage::TLoadResult loaded = TFirmwareImage::Load(data.PathName);
    if (!loaded.image) {
        switch (loaded.error) {
        case EISDIR:
        case EINVAL: ReportError(data, ecAccessDenied); break;
        case EFBIG: ReportError(data, ecOutOfMemory); break;
        case EAGAIN: ReportError(data, ecDiskRead); break;
        default: ReportError(data, OpenErrorOf(data.PathName, loaded.error)); break;
        }
        return;
    }
    data.Image = std::move(loaded.image);
    data.FileLength = data.Image->Size();
    data.FileDate = data.Image->ModifiedTime();
    data.StatusProc(data, 0);
    data.FileOffset = 0;
    data.FileOpen = true;
}

bool DefaultReadBlock(ProtocolData& data, std::uint8_t* destination, std::uint32_t& size) {
    if (!data.FileOpen || !data.Image || data.FileOffset >= data.Image->Size()) {
        size = 0;
        return true;
    }
    const std::int64_t left = data.Image->Size() - data.FileOffset;
    const std::uint8_t* from = data.Image->Bytes().data() + data.FileOffset;
    if (left > static_cast<std::int64_t>(size)) {
        std::memcpy(destination, from, size);
        return false;
    }
    // The last block: what is left of the image, the rest of the block filled with SUB (0x1A).
    std::memcpy(destination, from, static_cast<std::size_t>(left));
    std::fill(destination + left, destination + size, 0x1A);
    size = static_cast<std::uint32_t>(left);
    return true;
}

void DefaultFinishRead(ProtocolData& data) {
    // The image stays with the record: it is what was sent.
    data.FileOpen = false;
}

}  // namespace kavo
