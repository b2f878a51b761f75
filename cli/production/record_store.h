// The production record: one row per target per device command, in SQLite
// (one station) or PostgreSQL (many stations on one database), and the
// serial numbers handed out to units. A row is written whole in one
// transaction or not at all; a number once handed out is never handed out
// again, whatever becomes of its unit.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillcli {

// What one target's device command was and how it ended.
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
    std::string loadPath;
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
    int64_t serialNumber = -1;   // -1: none
    std::string log;             // every line of this target, "\n"-separated
};

// Which rows `quillrom history` shows; empty fields do not filter.
struct HistoryFilter {
    std::string since, until;    // UTC, ISO 8601 prefix compare ("2026-12-09", "2026-12-09T10")
    std::string station;
    std::string result;          // "ok", "failed", ...
    int64_t serialNumber = -1;
    std::string imageChecksum;
    int64_t limit = 0;           // 0: all
};

enum class Allocation { Done, PastHighest, Failed };

// The first of `count` numbers from `first` that is above `highest`; none
// when all of them fit.
inline std::optional<uint64_t> FirstPast(int64_t first, int count, int64_t highest) {
    if (first > highest) return static_cast<uint64_t>(first);
    if (count > 0 && highest - first < count - 1) return static_cast<uint64_t>(highest) + 1;
    return std::nullopt;
}

class RecordStore {
public:
    virtual ~RecordStore() = default;
    // The store's name for messages ("sqlite:/path", "postgresql://host/db").
    virtual std::string Describe() const = 0;
    // Hands out `count` numbers, each the next above every number ever
    // handed out and not below `start`, in one transaction; they are
    // recorded as allocated at once, so no other process gets them. When
    // the last of them would pass `highest` (what the unit has room for),
    // none is handed out: PastHighest, with the first that does not fit in
    // *error.
    virtual Allocation AllocateSerials(int64_t start, int64_t highest, int count, const std::string &station,
                                       std::vector<int64_t> *out, std::string *error) = 0;
    // Writes the row whole (one transaction) and marks its serial number
    // with the row's result; sets row->id.
    virtual bool WriteRun(RunRow *row, std::string *error) = 0;
    // Rows by start time, oldest first.
    virtual bool Query(const HistoryFilter &filter, std::vector<RunRow> *out, std::string *error) = 0;
};

// "sqlite:PATH", a plain path (SQLite), or "postgresql://..."/"postgres://..."
// (libpq's connection URIs). Creates the schema, or brings an older one up
// to date. Null with the reason when the database cannot be opened or written.
std::unique_ptr<RecordStore> OpenRecordStore(const std::string &url, std::string *error);

// sqlite:$XDG_DATA_HOME/quillrom/history.db (~/.local/share/quillrom/history.db).
std::string DefaultRecordUrl();

// The schema both stores keep, by version; migrations run in order.
constexpr int kSchemaVersion = 1;

}  // namespace quillcli
