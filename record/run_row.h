// One row of the production record: what one target's device command was
// and how it ended; the filters `history` reads rows by, and the day's yield.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace quillrecord {

struct RunRow {
    int64_t id = 0;              // given by the store
    std::string station;         // host name or --station
    std::string operatorName;    // --operator
    std::string startedUtc;      // "2026-12-09T10:21:27.123Z"
    std::string endedUtc;
    std::string portName;        // "COM40"
    std::string portPath;        // the device behind it
    std::string adapterSerial;   // the USB adapter's serial number, where known
    std::string command;         // "program"
    std::string options;         // the command line's options, as given
    std::string prmPath;
    std::string prmChecksum;     // the parameter file's SUM, as hex
    std::string loadPath;        // the load image's sources as given ("app.elf cal.bin@0x7C00")
    std::string loadSources;     // one line per source: its file's SHA-256, two spaces, the source
    std::string imageChecksum;   // the load image's 16-bit checksum, as hex
    std::string streamSha256;    // of the bytes the command streams (program, verify)
    std::string deviceId;        // signature ID bytes, hex
    std::string deviceName;
    std::string deviceVersion;
    int32_t finalStatus = 0;     // PRR_STATUS_*
    std::string statusText;      // the line that reported the end
    std::string checksumCompare; // "ok", "error", or "" when none ran
    std::string result;          // "ok", "failed", "port", "interrupted"
    int32_t exitCode = 0;
    int64_t durationMs = 0;
    int64_t bytesProgrammed = 0;
    int64_t serialNumber = -1;   // -1: none (NULL in the database)
    std::string log;             // every line of this target, "\n"-separated
    std::string jobSha256;       // the job file's, when a locked job ran ("" otherwise)
    std::string jobSigner;       // the key id that signed the job, checked ("" when unsigned)
    std::vector<int64_t> fieldIds;  // the unit_fields rows the unit used (not a column: marked with the result)
};

// Which rows to read; empty fields do not filter.
struct HistoryFilter {
    std::string since, until;    // UTC, ISO 8601 prefix compare ("2026-12-09", "2026-12-09T10")
    std::string station;
    std::string result;          // "ok", "failed", ...
    int64_t serialNumber = -1;
    std::string imageChecksum;
    std::string fieldName, fieldValue;  // the unit that got this value (both set, or neither)
    int64_t limit = 0;           // 0: all; else only the newest this many (still oldest first)
};

struct SummaryLine {
    std::string day;      // "2026-12-09" (UTC)
    std::string station;
    int64_t runs = 0, ok = 0, failed = 0;  // failed: every result but ok
    double yield() const { return runs > 0 ? 100.0 * static_cast<double>(ok) / static_cast<double>(runs) : 0; }
};

// One line per day and station, by day then station.
std::vector<SummaryLine> Summarize(const std::vector<RunRow> &rows);

}  // namespace quillrecord
