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

#include "record/run_row.h"
#include "record/schema.h"
#include "record/unit_claims.h"

namespace quillrecord {

enum class Allocation { Done, PastHighest, Failed };

// The first of `count` numbers from `first` that is above `highest`; none
// when all of them fit.
inline std::optional<uint64_t> FirstPast(int64_t first, int count, int64_t highest) {
    if (first > highest) return static_cast<uint64_t>(first);
    if (count > 0 && highest - first < count - 1) return static_cast<uint64_t>(highest) + 1;
    return std::nullopt;
}

// What every store answers before it looks at its numbers: a start below 0
// or a negative count is refused, no number is an empty allocation; none to
// go on.
inline std::optional<Allocation> AllocationShortcut(int64_t start, int count, std::string *error) {
    if (start < 0 || count < 0) {
        *error = "serial numbers start at 0 or above and come in a count of 0 or more";
        return Allocation::Failed;
    }
    if (count == 0) return Allocation::Done;
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
    // Hands out every unit's field values in one transaction (see
    // unit_claims.h); none when any cannot be had.
    virtual ClaimEnd ClaimFields(const std::vector<std::vector<FieldClaim>> &units, const std::string &station,
                                 std::vector<std::vector<ClaimedField>> *out, std::string *error) = 0;
    // Whether `value` of field `name` was ever handed out (an operator's scan
    // is refused at once; the claim checks again in its transaction).
    virtual bool FieldValueUsed(const std::string &name, const std::string &value, bool *used, std::string *error) = 0;
    // Writes the row whole (one transaction) and marks its serial number
    // and its fields with the row's result; sets row->id.
    virtual bool WriteRun(RunRow *row, std::string *error) = 0;
    // Rows by start time, oldest first.
    virtual bool Query(const HistoryFilter &filter, std::vector<RunRow> *out, std::string *error) = 0;
};

// "sqlite:PATH", a plain path (SQLite), or "postgresql://..."/"postgres://..."
// (libpq's connection URIs). Creates the schema, or brings an older one up
// to date. Null with the reason when the database cannot be opened or written.
std::unique_ptr<RecordStore> OpenRecordStore(const std::string &url, std::string *error);

// sqlite:$XDG_DATA_HOME/quillrom/history.db (~/.local/share/quillrom/history.db);
// "" when neither is set.
std::string DefaultRecordUrl();

// Whether this build can open postgresql:// URLs.
bool HasPostgresql();

}  // namespace quillrecord
