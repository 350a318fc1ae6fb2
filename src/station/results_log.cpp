#include "station/results_log.h"

#include "platform/json_text.h"

#include <systemd/sd-journal.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <variant>
#include <vector>

namespace kavo::station {
namespace {

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
    return name;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// One write() for the whole text: a short write is an error, never a second write, so a
// record is in the file whole or (after a crash in the write itself) not at all as far as the
// kernel's append lets one write be.
std::string WriteOnce(int fd, const std::string& text) {
    ssize_t written;
    do {
        written = ::write(fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) return std::strerror(errno);
    if (static_cast<std::size_t>(written) != text.size()) return "short write (is the disk full?)";
    return {};
}

}  // namespace

TResultsFormat FormatForPath(const std::string& path) {
    return EndsWith(path, ".jsonl") || EndsWith(path, ".json") ? TResultsFormat::jsonLines
                                                              : TResultsFormat::csv;
}

std::string DefaultResultsPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/') return std::string(state) + "/kavodown/results.csv";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/state/kavodown/results.csv";
}

std::string TimeWithZone(std::int64_t epochMs) {
    const std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    char zone[8];
    std::strftime(zone, sizeof zone, "%z", &local);  // "+0100"
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(epochMs % 1000));
    std::string z(zone);
    if (z.size() == 5) z.insert(3, ":");
    return std::string(text) + millis + z;
}

namespace {

// A record's value as a text or a number: numbers stay unquoted in JSON.
using TFieldValue = std::variant<std::string, std::int64_t>;

struct TRecordField {
    const char* name;  // the CSV column and the JSON key; upper-cased for the journal
    TFieldValue (*value)(const TUnitRecord&);
};

// Every layout of a record (CSV, JSON lines, journal) is made from this one table.
constexpr TRecordField kRecordFields[] = {
    {"time", [](const TUnitRecord& r) -> TFieldValue { return r.time; }},
    {"host", [](const TUnitRecord& r) -> TFieldValue { return r.host; }},
    {"slot", [](const TUnitRecord& r) -> TFieldValue { return r.slot; }},
    {"device", [](const TUnitRecord& r) -> TFieldValue { return r.device; }},
    {"usb_vendor", [](const TUnitRecord& r) -> TFieldValue { return r.usbVendor; }},
    {"usb_product", [](const TUnitRecord& r) -> TFieldValue { return r.usbProduct; }},
    {"usb_serial", [](const TUnitRecord& r) -> TFieldValue { return r.usbSerial; }},
    {"firmware", [](const TUnitRecord& r) -> TFieldValue { return r.firmware; }},
    {"size", [](const TUnitRecord& r) -> TFieldValue { return r.size; }},
    {"sha256", [](const TUnitRecord& r) -> TFieldValue { return r.sha256; }},
    {"code", [](const TUnitRecord& r) -> TFieldValue { return std::int64_t{r.code}; }},
    {"outcome", [](const TUnitRecord& r) -> TFieldValue { return r.outcome; }},
    {"duration_ms", [](const TUnitRecord& r) -> TFieldValue { return r.durationMs; }},
    {"block_errors", [](const TUnitRecord& r) -> TFieldValue { return r.blockErrors; }},
};

std::string ValueText(const TFieldValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    return std::to_string(std::get<std::int64_t>(value));
}

}  // namespace

std::string CsvHeader() {
    std::string header;
    for (const TRecordField& field : kRecordFields) {
        if (!header.empty()) header += ',';
        header += field.name;
    }
    return header;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string CsvLine(const TUnitRecord& r) {
    std::string line;
    for (const TRecordField& field : kRecordFields) {
        if (&field != kRecordFields) line += ',';
        line += CsvField(ValueText(field.value(r)));
    }
    return line;
}

std::string JsonLine(const TUnitRecord& r) {
    TJsonObject object;
    for (const TRecordField& field : kRecordFields) {
        std::visit([&](const auto& value) { object.Add(field.name, value); }, field.value(r));
    }
    return object.Text();
}

std::string TResultsLog::Open(const std::string& path) {
    path_ = path;
    format_ = FormatForPath(path);
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    // Without O_NONBLOCK a FIFO given as the file would hold the open until a reader comes.
    fd_.Reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644));
    if (!fd_) return "the results file " + path + " cannot be opened: " + std::strerror(errno);
    struct stat info {};
    if (::fstat(fd_.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return "the results file " + path + " is no regular file";
    }
    ::fcntl(fd_.Get(), F_SETFL, O_APPEND);
    if (format_ == TResultsFormat::csv && info.st_size == 0) {
        const std::string error = WriteOnce(fd_.Get(), CsvHeader() + "\n");
        if (!error.empty()) return "the results file " + path + " cannot be written: " + error;
        if (::fdatasync(fd_.Get()) != 0) return "the results file " + path + " cannot be synced: " + std::strerror(errno);
    }
    return {};
}

std::string TResultsLog::Append(TUnitRecord& record) {
    if (record.time.empty()) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        record.time = TimeWithZone(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }
    if (record.host.empty()) record.host = HostName();
    if (!fd_) return "the results file is not open";
    const std::string line =
        (format_ == TResultsFormat::csv ? CsvLine(record) : JsonLine(record)) + "\n";
    std::string error = WriteOnce(fd_.Get(), line);
    if (error.empty() && ::fdatasync(fd_.Get()) != 0) error = std::strerror(errno);
    return error.empty() ? error : "the record could not be written to " + path_ + ": " + error;
}

bool SendToJournal(const TUnitRecord& r) {
    // KAVODOWN_<FIELD>=value for every field of the record, after the message itself.
    std::vector<std::string> entries;
    // A flashed unit's outcome is "flashed", whatever its code (1 in USB storage mode).
    const bool flashed = r.outcome == "flashed";
    entries.push_back("MESSAGE=unit on " + r.slot + ": " + r.outcome);
    entries.push_back(std::string("PRIORITY=") + (flashed ? "6" : "4"));
    entries.push_back("SYSLOG_IDENTIFIER=kavodown");
    for (const TRecordField& field : kRecordFields) {
        std::string name = field.name;
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        entries.push_back("KAVODOWN_" + name + "=" + ValueText(field.value(r)));
    }
    std::vector<iovec> parts;
    for (std::string& entry : entries) parts.push_back({entry.data(), entry.size()});
    return sd_journal_sendv(parts.data(), static_cast<int>(parts.size())) >= 0;
}

}  // namespace kavo::station
