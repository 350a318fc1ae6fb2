#include "station/results_log.h"

#include "app/json_text.h"

#include <systemd/sd-journal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

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

std::string CsvHeader() {
    return "time,host,slot,device,usb_vendor,usb_product,usb_serial,firmware,size,sha256,code,"
           "outcome,duration_ms";
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
    bool first = true;
    for (const std::string& field :
         {r.time, r.host, r.slot, r.device, r.usbVendor, r.usbProduct, r.usbSerial, r.firmware,
          std::to_string(r.size), r.sha256, std::to_string(r.code), r.outcome,
          std::to_string(r.durationMs)}) {
        if (!first) line += ',';
        first = false;
        line += CsvField(field);
    }
    return line;
}

std::string JsonLine(const TUnitRecord& r) {
    return TJsonObject()
        .Add("time", r.time)
        .Add("host", r.host)
        .Add("slot", r.slot)
        .Add("device", r.device)
        .Add("usb_vendor", r.usbVendor)
        .Add("usb_product", r.usbProduct)
        .Add("usb_serial", r.usbSerial)
        .Add("firmware", r.firmware)
        .Add("size", r.size)
        .Add("sha256", r.sha256)
        .Add("code", r.code)
        .Add("outcome", r.outcome)
        .Add("duration_ms", r.durationMs)
        .Text();
}

TResultsLog::~TResultsLog() {
    if (fd_ >= 0) ::close(fd_);
}

std::string TResultsLog::Open(const std::string& path) {
    path_ = path;
    format_ = FormatForPath(path);
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    // Without O_NONBLOCK a FIFO given as the file would hold the open until a reader comes.
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd_ < 0) return "the results file " + path + " cannot be opened: " + std::strerror(errno);
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        return "the results file " + path + " is no regular file";
    }
    ::fcntl(fd_, F_SETFL, O_APPEND);
    if (format_ == TResultsFormat::csv && info.st_size == 0) {
        const std::string error = WriteOnce(fd_, CsvHeader() + "\n");
        if (!error.empty()) return "the results file " + path + " cannot be written: " + error;
        if (::fdatasync(fd_) != 0) return "the results file " + path + " cannot be synced: " + std::strerror(errno);
    }
    return {};
}

std::string TResultsLog::Append(TUnitRecord& record) {
    if (record.time.empty()) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        record.time = TimeWithZone(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }
    if (record.host.empty()) record.host = HostName();
    if (fd_ < 0) return "the results file is not open";
    const std::string line =
        (format_ == TResultsFormat::csv ? CsvLine(record) : JsonLine(record)) + "\n";
    std::string error = WriteOnce(fd_, line);
    if (error.empty() && ::fdatasync(fd_) != 0) error = std::strerror(errno);
    return error.empty() ? error : "the record could not be written to " + path_ + ": " + error;
}

bool SendToJournal(const TUnitRecord& r) {
    const std::string message = "unit on " + r.slot + ": " + (r.code == 0 ? "flashed" : r.outcome);
    const int result = sd_journal_send(
        "MESSAGE=%s", message.c_str(), "PRIORITY=%d", r.code == 0 ? 6 : 4,
        "SYSLOG_IDENTIFIER=kavodown", "KAVODOWN_TIME=%s", r.time.c_str(),
        "KAVODOWN_SLOT=%s", r.slot.c_str(), "KAVODOWN_DEVICE=%s", r.device.c_str(),
        "KAVODOWN_USB_VENDOR=%s", r.usbVendor.c_str(), "KAVODOWN_USB_PRODUCT=%s",
        r.usbProduct.c_str(), "KAVODOWN_USB_SERIAL=%s", r.usbSerial.c_str(),
        "KAVODOWN_FIRMWARE=%s", r.firmware.c_str(), "KAVODOWN_SIZE=%lld",
        static_cast<long long>(r.size), "KAVODOWN_SHA256=%s", r.sha256.c_str(),
        "KAVODOWN_CODE=%d", r.code, "KAVODOWN_OUTCOME=%s", r.outcome.c_str(),
        "KAVODOWN_DURATION_MS=%lld", static_cast<long long>(r.durationMs), nullptr);
    return result >= 0;
}

}  // namespace kavo::station
