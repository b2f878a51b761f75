// The record in SQLite: one file per station, shared by the processes of a
// gang. Every change is one IMMEDIATE transaction, so two writers queue on
// the file's lock instead of interleaving.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "record/columns.h"
#include "record/record_store.h"
#include "record/schema.h"
#include "record/store_common.h"

namespace quillrecord {
namespace {

constexpr int kBusyWaitMs = 15000;  // a gang's processes wait this long for each other

class Statement {
public:
    Statement(sqlite3 *db, const std::string &sql) { ok_ = sqlite3_prepare_v2(db, sql.c_str(), -1, &st_, nullptr) == SQLITE_OK; }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    bool ok() const { return ok_; }
    void Bind(int i, const std::string &text) { sqlite3_bind_text(st_, i, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT); }
    void Bind(int i, int64_t v) { sqlite3_bind_int64(st_, i, v); }
    void BindNull(int i) { sqlite3_bind_null(st_, i); }
    int Step() { return sqlite3_step(st_); }
    std::string Text(int col) const {
        const unsigned char *t = sqlite3_column_text(st_, col);
        return t ? std::string(reinterpret_cast<const char *>(t), static_cast<size_t>(sqlite3_column_bytes(st_, col))) : "";
    }
    int64_t Int(int col) const { return sqlite3_column_int64(st_, col); }
    bool IsNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }

private:
    sqlite3_stmt *st_ = nullptr;
    bool ok_ = false;
};

// The field table inside a transaction the store has opened.
class Fields final : public FieldTable {
public:
    explicit Fields(sqlite3 *db) : db_(db) {}
    bool HighestNumber(const std::string &name, const std::string &source, std::optional<int64_t> *out,
                       std::string *error) override {
        Statement q(db_, "SELECT max(number) FROM unit_fields WHERE name = ? AND source = ?");
        q.Bind(1, name);
        q.Bind(2, source);
        if (!q.ok() || q.Step() != SQLITE_ROW) return Failed(error);
        *out = q.IsNull(0) ? std::nullopt : std::optional<int64_t>(q.Int(0));
        if (SharesSerials(name, source)) {
            Statement s(db_, "SELECT max(number) FROM serials");
            if (!s.ok() || s.Step() != SQLITE_ROW) return Failed(error);
            if (!s.IsNull(0) && (!*out || s.Int(0) > **out)) *out = s.Int(0);
        }
        return true;
    }
    bool ValueUsed(const std::string &name, const std::string &value, bool *used, std::string *error) override {
        Statement q(db_, "SELECT count(*) FROM unit_fields WHERE name = ? AND value = ?");
        q.Bind(1, name);
        q.Bind(2, value);
        if (!q.ok() || q.Step() != SQLITE_ROW) return Failed(error);
        *used = q.Int(0) > 0;
        if (!*used && name == kSerialField) {
            Statement s(db_, "SELECT count(*) FROM serials WHERE CAST(number AS TEXT) = ?");
            s.Bind(1, value);
            if (!s.ok() || s.Step() != SQLITE_ROW) return Failed(error);
            *used = s.Int(0) > 0;
        }
        return true;
    }
    bool Insert(ClaimedField *f, const std::string &station, const std::string &now, std::string *error) override {
        Statement ins(db_, "INSERT INTO unit_fields (name, value, source, number, station, allocated_utc, state)"
                           " VALUES (?, ?, ?, ?, ?, ?, 'allocated')");
        ins.Bind(1, f->name);
        ins.Bind(2, f->value);
        ins.Bind(3, f->source);
        if (f->number >= 0) ins.Bind(4, f->number);
        else ins.BindNull(4);
        ins.Bind(5, station);
        ins.Bind(6, now);
        if (!ins.ok() || ins.Step() != SQLITE_DONE) return Failed(error);
        f->id = sqlite3_last_insert_rowid(db_);
        if (SharesSerials(f->name, f->source)) {
            Statement s(db_, "INSERT INTO serials (number, station, allocated_utc, state) VALUES (?, ?, ?, 'allocated')");
            s.Bind(1, f->number);
            s.Bind(2, station);
            s.Bind(3, now);
            if (!s.ok() || s.Step() != SQLITE_DONE) return Failed(error);
        }
        return true;
    }

private:
    bool Failed(std::string *error) const {
        *error = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3 *db_;
};

class SqliteStore final : public RecordStore {
public:
    SqliteStore(sqlite3 *db, std::string path) : db_(db), path_(std::move(path)) {}
    ~SqliteStore() override { sqlite3_close(db_); }

    std::string Describe() const override { return "sqlite:" + path_; }

    bool Setup(std::string *error) {
        sqlite3_busy_timeout(db_, kBusyWaitMs);
        // Several processes of a gang write at once; WAL lets readers go on.
        if (!Exec("PRAGMA journal_mode=WAL", error)) return false;
        // A write lock taken and given back: a database that cannot be
        // written fails here, before any device is touched.
        if (!Exec("BEGIN IMMEDIATE", error)) return false;
        int version = 0;
        {
            Statement q(db_, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='schema_version'");
            if (!q.ok() || q.Step() != SQLITE_ROW) return Fail("cannot read the schema", error);
            if (q.Int(0) > 0) {
                Statement v(db_, "SELECT max(version) FROM schema_version");
                if (!v.ok() || v.Step() != SQLITE_ROW) return Fail("cannot read the schema version", error);
                version = static_cast<int>(v.Int(0));
            }
        }
        if (version > kSchemaVersion) {
            Exec("ROLLBACK", nullptr);
            *error = Describe() + " holds schema version " + std::to_string(version) + ", newer than this quillrom (" +
                     std::to_string(kSchemaVersion) + "): update quillrom";
            return false;
        }
        // Each version's migration in the transaction that updates the version.
        for (int v = version + 1; v <= kSchemaVersion; ++v)
            for (const std::string &sql : Migration(v, "INTEGER PRIMARY KEY AUTOINCREMENT"))
                if (!Exec(sql, error)) return Fail("", error);
        return Exec("COMMIT", error) || Fail("", error);
    }

    Allocation AllocateSerials(int64_t start, int64_t highest, int count, const std::string &station,
                               std::vector<int64_t> *out, std::string *error) override {
        out->clear();
        if (const auto answer = AllocationShortcut(start, count, error)) return *answer;
        if (!Exec("BEGIN IMMEDIATE", error)) return Allocation::Failed;
        int64_t next = start;
        std::optional<int64_t> top;  // the highest number handed out, where it is at or above start
        {
            Statement q(db_, "SELECT max(number) FROM serials");
            if (!q.ok() || q.Step() != SQLITE_ROW) {
                Fail("cannot read the serial numbers", error);
                return Allocation::Failed;
            }
            if (!q.IsNull(0) && q.Int(0) >= next) top = q.Int(0);
        }
        std::optional<uint64_t> over;
        if (top && *top == INT64_MAX) over = uint64_t{INT64_MAX} + 1;
        else if (top) next = *top + 1;
        if (!over) over = FirstPast(next, count, highest);
        if (over) {
            Exec("ROLLBACK", nullptr);
            *error = "serial number " + std::to_string(*over) + " is above " + std::to_string(highest);
            return Allocation::PastHighest;
        }
        const std::string now = UtcNow();
        for (int i = 0; i < count; ++i, ++next) {
            Statement ins(db_, "INSERT INTO serials (number, station, allocated_utc, state) VALUES (?, ?, ?, 'allocated')");
            ins.Bind(1, next);
            ins.Bind(2, station);
            ins.Bind(3, now);
            if (!ins.ok() || ins.Step() != SQLITE_DONE) {
                out->clear();
                Fail("cannot record serial number " + std::to_string(next), error);
                return Allocation::Failed;
            }
            out->push_back(next);
        }
        if (!Exec("COMMIT", error)) {
            out->clear();
            Fail("", error);
            return Allocation::Failed;
        }
        return Allocation::Done;
    }

    ClaimEnd ClaimFields(const std::vector<std::vector<FieldClaim>> &units, const std::string &station,
                         std::vector<std::vector<ClaimedField>> *out, std::string *error) override {
        out->clear();
        if (!Exec("BEGIN IMMEDIATE", error)) return ClaimEnd::kFailed;
        Fields table(db_);
        const ClaimEnd end = quillrecord::ClaimFields(table, units, station, UtcNow(), out, error);
        if (end != ClaimEnd::kDone) {
            Exec("ROLLBACK", nullptr);
            out->clear();
            return end;
        }
        if (Exec("COMMIT", error)) return ClaimEnd::kDone;
        out->clear();
        Fail("", error);
        return ClaimEnd::kFailed;
    }

    bool FieldValueUsed(const std::string &name, const std::string &value, bool *used, std::string *error) override {
        Fields table(db_);
        if (table.ValueUsed(name, value, used, error)) return true;
        *error = Describe() + ": " + *error;
        return false;
    }

    bool WriteRun(RunRow *row, std::string *error) override {
        if (!Exec("BEGIN IMMEDIATE", error)) return false;
        std::string marks;
        for (size_t i = 0; i < RunColumnCount(); ++i) marks += i ? ", ?" : "?";
        const std::string sql = "INSERT INTO runs (" + RunColumnList() + ") VALUES (" + marks + ")";
        {
            Statement ins(db_, sql);
            if (!ins.ok()) return Fail("cannot prepare the row", error);
            BindRow(ins, *row);
            if (ins.Step() != SQLITE_DONE) return Fail("cannot write the row", error);
        }
        row->id = sqlite3_last_insert_rowid(db_);
        if (row->serialNumber >= 0) {
            Statement up(db_, "UPDATE serials SET state = ?, run_id = ? WHERE number = ?");
            up.Bind(1, row->result);
            up.Bind(2, row->id);
            up.Bind(3, row->serialNumber);
            if (!up.ok() || up.Step() != SQLITE_DONE) return Fail("cannot mark serial number", error);
        }
        for (const int64_t field : row->fieldIds) {
            Statement up(db_, "UPDATE unit_fields SET state = ?, run_id = ? WHERE id = ?");
            up.Bind(1, row->result);
            up.Bind(2, row->id);
            up.Bind(3, field);
            if (!up.ok() || up.Step() != SQLITE_DONE) return Fail("cannot mark the unit's fields", error);
        }
        return Exec("COMMIT", error) || Fail("", error);
    }

    bool Query(const HistoryFilter &f, std::vector<RunRow> *out, std::string *error) override {
        out->clear();
        std::string sql = "SELECT id, " + RunColumnList() + " FROM runs WHERE 1=1";
        std::vector<std::pair<bool, std::string>> params;  // (is number, value)
        if (!f.since.empty()) sql += " AND started_utc >= ?", params.push_back({false, f.since});
        if (!f.until.empty()) sql += " AND started_utc < ?", params.push_back({false, UntilBound(f.until)});
        if (!f.station.empty()) sql += " AND station = ?", params.push_back({false, f.station});
        if (!f.result.empty()) sql += " AND result = ?", params.push_back({false, f.result});
        if (f.serialNumber >= 0) sql += " AND serial_number = ?", params.push_back({true, std::to_string(f.serialNumber)});
        if (!f.imageChecksum.empty()) sql += " AND upper(image_checksum) = upper(?)", params.push_back({false, f.imageChecksum});
        if (!f.fieldName.empty()) {
            sql += " AND id IN (SELECT run_id FROM unit_fields WHERE name = ? AND value = ?)";
            params.push_back({false, f.fieldName});
            params.push_back({false, f.fieldValue});
        }
        // A limit keeps the newest rows; they are still shown oldest first.
        if (f.limit > 0)
            sql = "SELECT * FROM (" + sql + " ORDER BY started_utc DESC, id DESC LIMIT " + std::to_string(f.limit) + ")";
        sql += " ORDER BY started_utc, id";
        Statement q(db_, sql);
        if (!q.ok()) {
            *error = Describe() + ": " + sqlite3_errmsg(db_);
            return false;
        }
        for (size_t i = 0; i < params.size(); ++i) {
            if (params[i].first) q.Bind(static_cast<int>(i + 1), static_cast<int64_t>(std::stoll(params[i].second)));
            else q.Bind(static_cast<int>(i + 1), params[i].second);
        }
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) {
            RunRow r;
            r.id = q.Int(0);
            for (size_t i = 0; i < RunColumnCount(); ++i) {
                const int col = static_cast<int>(i + 1);
                SetValue(r, RunColumns()[i], q.Text(col).c_str(), q.IsNull(col));
            }
            out->push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) {
            *error = Describe() + ": " + sqlite3_errmsg(db_);
            return false;
        }
        return true;
    }

private:
    bool Exec(const std::string &sql, std::string *error) {
        char *message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
        if (error) *error = Describe() + ": " + (message ? message : sqlite3_errmsg(db_));
        sqlite3_free(message);
        return false;
    }
    // Rolls the open transaction back; `what` says what failed when the
    // error is not already set.
    bool Fail(const std::string &what, std::string *error) {
        if (!what.empty() && error) *error = Describe() + ": " + what + ": " + sqlite3_errmsg(db_);
        Exec("ROLLBACK", nullptr);
        return false;
    }
    void BindRow(Statement &s, const RunRow &r) {
        for (size_t i = 0; i < RunColumnCount(); ++i) {
            const Column &c = RunColumns()[i];
            const int at = static_cast<int>(i + 1);
            const std::string text = ValueText(r, c);
            if (IsNull(r, c)) s.BindNull(at);
            else if (IsNumber(c)) s.Bind(at, static_cast<int64_t>(std::stoll(text)));
            else s.Bind(at, text);
        }
    }

    sqlite3 *db_;
    std::string path_;
};

}  // namespace

std::unique_ptr<RecordStore> OpenSqliteRecordStore(const std::string &path, std::string *error) {
    if (path.empty()) {
        *error = "no database path: give --db sqlite:PATH";
        return nullptr;
    }
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        *error = "sqlite:" + path + ": cannot open the database: " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    auto store = std::make_unique<SqliteStore>(db, path);
    if (!store->Setup(error)) return nullptr;
    return store;
}

}  // namespace quillrecord
