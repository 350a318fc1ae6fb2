// The station's results log: one record per finished unit, appended to a file that is the record
// of truth, and where the system journal runs also sent there as a structured entry.
//
// A record is one line, CSV (with a header line when the file is new or empty) or a JSON object
// (JSON lines), chosen by the file's name: ".jsonl" or ".json" is JSON lines, anything else CSV.
// The columns, in order:
//   time, host, slot, device, usb_vendor, usb_product, usb_serial, firmware, size, sha256,
//   code, outcome, duration_ms, block_errors
// time is local time with its zone offset ("2026-12-08T16:05:31.042+01:00"); code is the exit
// code the unit would have in a --batch run (flashed: 0, and 1 in USB storage mode) and outcome
// its text ("flashed" for a flashed unit);
// block_errors counts the blocks the terminal refused or did not answer, resent or not.
//
// Each record is written with one write() on a descriptor opened with O_APPEND and synced to the
// disk (fdatasync) before Append returns, so a crash leaves no torn record and no unit is shown
// as done without its record. A journal that is missing or refuses the entry changes nothing.
//
// Thread safety: a TResultsLog belongs to one thread.
#pragma once

#include "platform/unique_fd.h"

#include <cstdint>
#include <string>

namespace kavo::station {

struct TUnitRecord {
    std::string time;  // filled by Append when empty
    std::string host;  // filled by Append when empty
    std::string slot;
    std::string device;
    std::string usbVendor, usbProduct, usbSerial;
    std::string firmware;
    std::int64_t size = 0;
    std::string sha256;
    int code = 0;
    std::string outcome;
    std::int64_t durationMs = 0;
    std::int64_t blockErrors = 0;
};

enum class TResultsFormat { csv, jsonLines };

// The format a results file's name selects.
TResultsFormat FormatForPath(const std::string& path);

// $XDG_STATE_HOME/kavodown/results.csv, else ~/.local/state/kavodown/results.csv.
std::string DefaultResultsPath();

// "2026-12-08T16:05:31.042+01:00" for the given time (milliseconds since the epoch), local time.
std::string TimeWithZone(std::int64_t epochMs);

std::string CsvHeader();
// A CSV field: quoted (with doubled quotes) when it holds a comma, quote, CR or LF.
std::string CsvField(const std::string& text);
std::string CsvLine(const TUnitRecord& record);  // without a newline
std::string JsonLine(const TUnitRecord& record);  // without a newline

class TResultsLog {
public:
    // Opens (creating the folder and the file when missing) for appending. Returns an empty text,
    // or one line saying why the file cannot be used.
    std::string Open(const std::string& path);
    const std::string& Path() const { return path_; }

    // Fills time and host when empty, writes the record and syncs it. Returns an empty text, or
    // what went wrong (the record is then not on the disk for sure).
    std::string Append(TUnitRecord& record);

private:
    std::string path_;
    TResultsFormat format_ = TResultsFormat::csv;
    TUniqueFd fd_;
};

// Sends `record` to the system journal as a structured entry; false when there is none.
bool SendToJournal(const TUnitRecord& record);

}  // namespace kavo::station
