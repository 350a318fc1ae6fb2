// The dispatcher's two recorders: the byte trace and the dispatch log.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "serial/dispatcher.h"
#include "serial/dispatcher_recorders.h"
#include "platform/file_io.h"
#include "serial/error_codes.h"

namespace kavo {

namespace {

constexpr int kTraceColumns = 78;

std::string ItemText(std::uint8_t byte, bool hex, bool allHex) {
    char text[8];
    std::uint8_t lowest = hex ? 0x21 : 0x20;
    if (!allHex && byte >= lowest && byte <= '~') return std::string(1, static_cast<char>(byte));
    if (allHex || hex) {
        std::snprintf(text, sizeof text, "[%02X]", byte);
    } else {
        std::snprintf(text, sizeof text, "[%u]", byte);
    }
    return text;
}

// Appends items, starting a new line (indented by `indent`) when an item would pass column 78.
void AppendItems(std::string& out, int& column, const std::uint8_t* data, std::size_t length,
                 bool hex, bool allHex, int indent) {
    for (std::size_t i = 0; i < length; ++i) {
        std::string item = ItemText(data[i], hex, allHex);
        if (column + static_cast<int>(item.size()) > kTraceColumns) {
            out += '\n';
            out.append(indent, ' ');
            column = indent;
        }
        out += item;
        column += static_cast<int>(item.size());
    }
}

int IoError(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ecPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ecAccessDenied;
    case EROFS:
        return ecWriteProtected;
    case ENOSPC:
        return ecDiskFull;
    case EMFILE:
    case ENFILE:
        return ecTooManyFiles;
    default:
        return ecDeviceWrite;
    }
}

int WriteTextFile(const std::string& fileName, bool append, const std::string& text) {
    std::FILE* file = OpenStdioFile(fileName, append ? "ab" : "wb");
    if (!file) return IoError(errno);
    int result = 0;
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) result = IoError(errno);
    if (std::fclose(file) != 0 && result == 0) result = IoError(errno);
    return result;
}

const char* LogTypeName(std::uint32_t type) {
    switch (type) {
    case lgDevice: return "Device";
    case lgFired: return "Trigger";
    case lgCreated: return "Create";
    case lgRemoved: return "Remove";
    case lgAttached: return "Attach";
    case lgDetached: return "Detach";
    case lgArmed: return "Arm";
    default: return nullptr;
    }
}

std::string LogSubtypeName(std::uint32_t type, std::uint32_t subtype) {
    if (type == 1) {
        switch (subtype) {
        case 1: return "Read";
        case 2: return "Write";
        case 9: return "Lost";
        case 10: return "Failed";
        default: break;
        }
    } else if (type == 7 || type == 8) {
        if (subtype == 1) return "Window";
        if (subtype == 2) return "Procedure";
    } else if (type == 2 || type == 5 || type == 6 || type == 9) {
        switch (subtype) {
        case 5: return "Avail";
        case 6: return "Timer";
        case 7: return "Data";
        case 8: return "Status";
        default: break;
        }
    }
    return std::to_string(subtype);
}

// Entries whose data is a text of the dispatcher's own (trigger kinds, "Deactivated", a loss, a
// worker's failure).
bool IsTextEntry(std::uint32_t type, std::uint32_t subtype) {
    if (type == 1) return subtype == 9 || subtype == 10;
    if (type == 2 || type == 5 || type == 6 || type == 9) return subtype == 6 || subtype == 8;
    return false;
}

}  // namespace

std::string FormatTraceEntries(const std::vector<std::pair<char, std::uint8_t>>& entries, bool hex,
                               bool allHex) {
    std::string out;
    int column = 0;
    bool first = true;
    char kind = 0;
    for (const auto& [entryKind, byte] : entries) {
        if (first || entryKind != kind) {
            if (!first) out += "\n\n";
            first = false;
            kind = entryKind;
            std::string heading = kind == 'R'   ? "Receive: "
                                  : kind == 'T' ? "Transmit: "
                                                : std::string("Special-") + kind + ": ";
            out += heading;
            column = static_cast<int>(heading.size());
        }
        AppendItems(out, column, &byte, 1, hex, allHex, 0);
    }
    if (!first) out += '\n';
    return out;
}

// --- trace ----------------------------------------------------------------------------------

int TApdBaseDispatcher::StartTrace(std::uint32_t entries) {
    if (entries > 4000000) return ecBadArgument;
    std::lock_guard lock(recorderLock_);
    if (!trace_ || trace_->entries.empty()) {
        trace_ = std::make_unique<TraceState>();
        trace_->entries.resize(std::max<std::uint32_t>(entries, 1));
    }
    trace_->writePos = 0;
    trace_->wrapped = false;
    trace_->on = true;
    return 0;
}

void TApdBaseDispatcher::StopTrace() {
    std::lock_guard lock(recorderLock_);
    trace_.reset();
}

void TApdBaseDispatcher::ClearTrace() {
    std::lock_guard lock(recorderLock_);
    if (!trace_) return;
    trace_->writePos = 0;
    trace_->wrapped = false;
}

void TApdBaseDispatcher::PauseTrace() {
    std::lock_guard lock(recorderLock_);
    if (trace_) trace_->on = false;
}

void TApdBaseDispatcher::ResumeTrace() {
    std::lock_guard lock(recorderLock_);
    if (trace_) trace_->on = true;
}

bool TApdBaseDispatcher::Tracing() {
    std::lock_guard lock(recorderLock_);
    return trace_ && trace_->on;
}

void TApdBaseDispatcher::AddTraceEntry(char kind, std::uint8_t byte) {
    std::lock_guard lock(recorderLock_);
    if (!trace_ || !trace_->on) return;
    trace_->entries[trace_->writePos] = {kind, byte};
    if (++trace_->writePos == trace_->entries.size()) {
        trace_->writePos = 0;
        trace_->wrapped = true;
    }
}

int TApdBaseDispatcher::DumpTrace(const std::string& fileName, bool append, bool hex, bool allHex) {
    std::unique_ptr<TraceState> trace;
    {
        std::lock_guard lock(recorderLock_);
        trace = std::move(trace_);
    }
    if (!trace || (trace->writePos == 0 && !trace->wrapped)) return 0;
    std::vector<std::pair<char, std::uint8_t>> ordered;
    if (trace->wrapped) {
        ordered.assign(trace->entries.begin() + trace->writePos, trace->entries.end());
    }
    ordered.insert(ordered.end(), trace->entries.begin(), trace->entries.begin() + trace->writePos);
    return WriteTextFile(fileName, append, FormatTraceEntries(ordered, hex, allHex));
}

// --- dispatch log ---------------------------------------------------------------------------

int TApdBaseDispatcher::StartDispatchLog(std::uint32_t size) {
    std::lock_guard lock(recorderLock_);
    log_ = std::make_unique<LogState>();
    log_->size = size;
    log_->on = true;
    return 0;
}

void TApdBaseDispatcher::StopDispatchLog() {
    std::lock_guard lock(recorderLock_);
    log_.reset();
}

void TApdBaseDispatcher::ClearDispatchLog() {
    std::lock_guard lock(recorderLock_);
    if (!log_) return;
    log_->entries.clear();
    log_->used = 0;
}

void TApdBaseDispatcher::PauseDispatchLog() {
    std::lock_guard lock(recorderLock_);
    if (log_) log_->on = false;
}

void TApdBaseDispatcher::ResumeDispatchLog() {
    std::lock_guard lock(recorderLock_);
    if (log_) log_->on = true;
}

bool TApdBaseDispatcher::Logging() {
    std::lock_guard lock(recorderLock_);
    return log_ && log_->on;
}

void TApdBaseDispatcher::AddLogEntry(std::uint32_t type, std::uint32_t subtype, std::uint32_t value,
                                     const void* data, std::uint32_t length) {
    std::lock_guard lock(recorderLock_);
    if (!log_ || !log_->on) return;
    std::uint32_t record = LogState::kHeaderSize + length;
    if (record >= log_->size) return;  // would never fit
    while (log_->used + record > log_->size && !log_->entries.empty()) {
        log_->used -= LogState::kHeaderSize + static_cast<std::uint32_t>(log_->entries.front().data.size());
        log_->entries.pop_front();
    }
    LogState::Entry entry;
    entry.type = static_cast<std::uint8_t>(type);
    entry.subtype = static_cast<std::uint8_t>(subtype);
    entry.time = ClockMilliseconds() - logTimeBase_;
    entry.value = value;
    if (length) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        entry.data.assign(bytes, bytes + length);
    }
    log_->entries.push_back(std::move(entry));
    log_->used += record;
}

void TApdBaseDispatcher::SetDeviceNameText(const std::string& name) {
    std::lock_guard lock(recorderLock_);
    deviceName_ = name;
}

std::string TApdBaseDispatcher::DeviceNameText() {
    std::lock_guard lock(recorderLock_);
    return deviceName_;
}

int TApdBaseDispatcher::DumpDispatchLog(const std::string& fileName, bool append, bool hex,
                                        bool allHex) {
    std::unique_ptr<LogState> log;
    std::string device;
    {
        std::lock_guard lock(recorderLock_);
        log = std::move(log_);
        device = deviceName_;
    }
    if (!log) return 0;
    std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);  // the C runtime's form: arguments the other way round
#else
    localtime_r(&now, &local);
#endif
    char line[160];
    std::string out = "KavoDown dispatch log\n";
    out += "Device: " + device + "\n";
    std::strftime(line, sizeof line, "Date/time: %d/%m/%y, %H:%M:%S\n", &local);
    out += line;
    out += "\n";
    std::snprintf(line, sizeof line, "%8s  %-8s  %-12s  %-8s  %s\n", "Time", "Type", "Subtype", "Value",
                  "Data");
    out += line;
    for (const auto& entry : log->entries) {
        char time[16];
        std::snprintf(time, sizeof time, "%u.%03u", entry.time / 1000, entry.time % 1000);
        const char* typeName = LogTypeName(entry.type);
        std::string type = typeName ? typeName : "Type " + std::to_string(entry.type);
        std::string subtype = LogSubtypeName(entry.type, entry.subtype);
        std::snprintf(line, sizeof line, "%8s  %-8s  %-12s  %8.8x  ", time, type.c_str(),
                      subtype.c_str(), entry.value);
        out += line;
        int column = static_cast<int>(std::string(line).size());
        if (IsTextEntry(entry.type, entry.subtype)) {
            out.append(entry.data.begin(), entry.data.end());
        } else {
            AppendItems(out, column, entry.data.data(), entry.data.size(), hex, allHex, column);
        }
        out += '\n';
    }
    return WriteTextFile(fileName, append, out);
}

std::string TApdBaseDispatcher::StatusKindName(std::uint32_t kind) const {
    static const char* const kNames[] = {"(Not active)",         "(Modem status)",
                                         "(Line status)",        "(Output buffer free)",
                                         "(Output buffer used)", "(Output sent)"};
    return kind < 6 ? kNames[kind] : "(Unknown)";
}

}  // namespace kavo
