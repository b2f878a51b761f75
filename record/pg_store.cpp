#include "record/pg_store.h"

#include <libpq-fe.h>
#include <time.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "record/columns.h"
#include "record/schema.h"
#include "record/store_common.h"

namespace quillrecord {
namespace {

struct ResultFree {
    void operator()(PGresult *r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

// libpq's messages run over several lines ("...\n\tThis probably means...");
// the first one says what happened.
std::string FirstLine(const char *text) {
    std::string s = text != nullptr ? text : "";
    const size_t nl = s.find('\n');
    if (nl != std::string::npos) s.resize(nl);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.pop_back();
    return s.empty() ? "unknown error" : s;
}

// Length of the valid UTF-8 sequence at s[i] (the forms PostgreSQL accepts:
// no overlong forms, no surrogates, nothing above U+10FFFF), 0 if there is none.
size_t Utf8Length(const std::string &s, size_t i) {
    const auto at = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
    const auto cont = [](unsigned c) { return c >= 0x80 && c <= 0xBF; };
    const unsigned b = at(0);
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return cont(at(1)) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        const unsigned lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
        return at(1) >= lo && at(1) <= hi && cont(at(2)) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        const unsigned lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
        return at(1) >= lo && at(1) <= hi && cont(at(2)) && cont(at(3)) ? 4 : 0;
    }
    return 0;
}

// The server refuses a whole row for one NUL or one byte that is not UTF-8,
// and paths and device lines may hold either. Such a byte is kept as the
// Latin-1 character it most likely is, and NUL as U+2400 (the NUL symbol),
// so the row is stored and the rest of its text is not lost.
std::string StorableText(const std::string &s) {
    std::string out;
    bool changed = false;
    for (size_t i = 0; i < s.size();) {
        const size_t n = s[i] == '\0' ? 0 : Utf8Length(s, i);
        if (n > 0) {
            if (changed) out.append(s, i, n);
            i += n;
            continue;
        }
        if (!changed) {
            out.assign(s, 0, i);
            changed = true;
        }
        const auto b = static_cast<unsigned char>(s[i++]);
        if (b == 0) {
            out += "\xE2\x90\x80";
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return changed ? out : s;
}

bool IsUrl(const std::string &s) { return s.rfind("postgresql://", 0) == 0 || s.rfind("postgres://", 0) == 0; }

std::string PercentDecoded(const std::string &s) {
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) && hex(s[i + 2])) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The connection string as messages show it: a URL keeps its form without
// the password of its user part or its password parameter; the key=value
// form is shown from what libpq reads in it, without the password.
std::string Redacted(const std::string &conninfo) {
    if (IsUrl(conninfo)) {
        std::string url = conninfo;
        const size_t start = url.find("://") + 3;
        // Where libpq looks for the user part: up to the first '@' before any '/'.
        const size_t at = url.find_first_of("@/", start);
        if (at != std::string::npos && url[at] == '@') {
            const size_t colon = url.find(':', start);
            if (colon < at) url.erase(colon, at - colon);
        }
        const size_t q = url.find('?');
        if (q == std::string::npos) return url;
        std::string kept;
        size_t p = q + 1;
        while (p <= url.size()) {
            size_t amp = url.find('&', p);
            if (amp == std::string::npos) amp = url.size();
            const std::string param = url.substr(p, amp - p);
            if (PercentDecoded(param.substr(0, param.find('='))) != "password" && !param.empty())
                kept += (kept.empty() ? "" : "&") + param;
            p = amp + 1;
        }
        return url.substr(0, q) + (kept.empty() ? "" : "?" + kept);
    }
    char *err = nullptr;
    PQconninfoOption *opts = PQconninfoParse(conninfo.c_str(), &err);
    if (opts == nullptr) {
        PQfreemem(err);
        return "postgresql (unreadable connection string)";
    }
    std::string out;
    for (const PQconninfoOption *o = opts; o->keyword != nullptr; ++o) {
        if (o->val == nullptr || std::strcmp(o->keyword, "password") == 0) continue;
        std::string v = o->val;
        if (v.empty() || v.find_first_of(" '\\") != std::string::npos) {
            std::string quoted = "'";
            for (char c : v) {
                if (c == '\'' || c == '\\') quoted += '\\';
                quoted += c;
            }
            v = quoted + "'";
        }
        out += (out.empty() ? "" : " ") + std::string(o->keyword) + "=" + v;
    }
    PQconninfoFree(opts);
    return out.empty() ? "postgresql (defaults)" : out;
}

void IgnoreNotice(void *, const char *) {}

int64_t ToInt(const char *text) { return text != nullptr ? std::strtoll(text, nullptr, 10) : 0; }

// The statement that writes a row: every column, $1..$n.
std::string InsertRunSql() {
    std::string params;
    for (size_t i = 0; i < RunColumnCount(); ++i) params += (i ? ", $" : "$") + std::to_string(i + 1);
    return "INSERT INTO runs (" + RunColumnList() + ") VALUES (" + params + ") RETURNING id";
}

std::string SelectRunsSql() { return "SELECT id, " + RunColumnList() + " FROM runs WHERE true"; }

RunRow RowFrom(const PGresult *res, int i) {
    RunRow r;
    r.id = ToInt(PQgetvalue(res, i, 0));
    for (size_t c = 0; c < RunColumnCount(); ++c) {
        const int col = static_cast<int>(c + 1);
        SetValue(r, RunColumns()[c], PQgetvalue(res, i, col), PQgetisnull(res, i, col) != 0);
    }
    return r;
}

class PgRecordStore final : public RecordStore {
public:
    PgRecordStore(PGconn *conn, std::string description) : conn_(conn), description_(std::move(description)) {}
    ~PgRecordStore() override { PQfinish(conn_); }
    PgRecordStore(const PgRecordStore &) = delete;
    PgRecordStore &operator=(const PgRecordStore &) = delete;

    std::string Describe() const override { return description_; }

    // Makes the schema in an empty database, brings an older one up to date,
    // and refuses one newer than this program.
    bool PrepareSchema(std::string *error) {
        if (!Begin(error)) return false;
        // Stations that start on an empty database at once must not both create the tables.
        if (!Exec("SELECT pg_advisory_xact_lock(5869909447853625197)", {}, PGRES_TUPLES_OK, nullptr, error) ||
            !Exec("SELECT to_regclass('schema_version') IS NOT NULL", {}, PGRES_TUPLES_OK, &res_, error))
            return Abandon("reading the schema version", error);
        int version = 0;
        if (std::strcmp(PQgetvalue(res_.get(), 0, 0), "t") == 0) {
            if (!Exec("SELECT max(version) FROM schema_version", {}, PGRES_TUPLES_OK, &res_, error))
                return Abandon("reading the schema version", error);
            if (PQgetisnull(res_.get(), 0, 0)) {
                *error = description_ + " has a schema_version table without a version";
                return Abandon(nullptr, nullptr);
            }
            version = static_cast<int>(ToInt(PQgetvalue(res_.get(), 0, 0)));
        }
        if (version > kSchemaVersion) {
            *error = description_ + " has schema version " + std::to_string(version) + "; this quillrom knows up to " +
                     std::to_string(kSchemaVersion) + " (a newer quillrom made it)";
            return Abandon(nullptr, nullptr);
        }
        // Each version's migration in the transaction that updates the version.
        for (int v = version + 1; v <= kSchemaVersion; ++v)
            for (const std::string &sql : Migration(v, "BIGSERIAL PRIMARY KEY"))
                if (!Exec(sql.c_str(), {}, PGRES_COMMAND_OK, nullptr, error))
                    return Abandon("creating the schema", error);
        return Commit("creating the schema", error);
    }

    Allocation AllocateSerials(int64_t start, int64_t highest, int count, const std::string &station,
                               std::vector<int64_t> *out, std::string *error) override {
        out->clear();
        if (const auto answer = AllocationShortcut(start, count, error)) return *answer;
        if (!Begin(error)) return Allocation::Failed;
        const std::string startText = std::to_string(start), countText = std::to_string(count);
        const std::string st = StorableText(station), now = UtcNow();
        // The table lock makes allocations from every station take turns:
        // the highest number is read and the next ones recorded before
        // anyone else reads it. A station that holds it far longer has hung.
        if (!Exec("SET LOCAL lock_timeout = '30s'", {}, PGRES_COMMAND_OK, nullptr, error) ||
            !Exec("LOCK TABLE serials IN EXCLUSIVE MODE", {}, PGRES_COMMAND_OK, nullptr, error) ||
            !Exec("SELECT greatest(coalesce(max(number) + 1, $1::bigint), $1::bigint) FROM serials",
                  {startText.c_str()}, PGRES_TUPLES_OK, &res_, error)) {
            Abandon("allocating serial numbers", error);
            return Allocation::Failed;
        }
        const int64_t first = ToInt(PQgetvalue(res_.get(), 0, 0));
        if (const auto over = FirstPast(first, count, highest)) {
            Abandon(nullptr, nullptr);
            *error = "serial number " + std::to_string(*over) + " is above " + std::to_string(highest);
            return Allocation::PastHighest;
        }
        const std::string firstText = std::to_string(first);
        if (!Exec("INSERT INTO serials (number, station, allocated_utc, state)"
                  " SELECT n, $3, $4, 'allocated' FROM generate_series($1::bigint, $1::bigint + $2::bigint - 1) AS n",
                  {firstText.c_str(), countText.c_str(), st.c_str(), now.c_str()}, PGRES_COMMAND_OK, nullptr, error)) {
            Abandon("allocating serial numbers", error);
            return Allocation::Failed;
        }
        if (!Commit("allocating serial numbers", error)) return Allocation::Failed;
        for (int i = 0; i < count; ++i) out->push_back(first + i);
        return Allocation::Done;
    }

    ClaimEnd ClaimFields(const std::vector<std::vector<FieldClaim>> &units, const std::string &station,
                         std::vector<std::vector<ClaimedField>> *out, std::string *error) override {
        out->clear();
        if (!Begin(error)) return ClaimEnd::kFailed;
        // As for serial numbers: the stations take turns on the whole table.
        if (!Exec("SET LOCAL lock_timeout = '30s'", {}, PGRES_COMMAND_OK, nullptr, error) ||
            !Exec("LOCK TABLE unit_fields IN EXCLUSIVE MODE", {}, PGRES_COMMAND_OK, nullptr, error) ||
            !Exec("LOCK TABLE serials IN EXCLUSIVE MODE", {}, PGRES_COMMAND_OK, nullptr, error)) {
            Abandon("handing out field values", error);
            return ClaimEnd::kFailed;
        }
        PgFields table(*this);
        const ClaimEnd end = quillrecord::ClaimFields(table, units, StorableText(station), UtcNow(), out, error);
        if (end != ClaimEnd::kDone) {
            Abandon(nullptr, nullptr);
            out->clear();
            return end;
        }
        if (Commit("handing out field values", error)) return ClaimEnd::kDone;
        out->clear();
        return ClaimEnd::kFailed;
    }

    bool FieldValueUsed(const std::string &name, const std::string &value, bool *used, std::string *error) override {
        PgFields table(*this);
        if (table.ValueUsed(name, value, used, error) || (Reconnect(error) && table.ValueUsed(name, value, used, error)))
            return true;
        *error = "reading the field values on " + description_ + ": " + *error;
        return false;
    }

    bool WriteRun(RunRow *row, std::string *error) override {
        std::vector<std::string> values;
        std::vector<const char *> params;
        for (size_t i = 0; i < RunColumnCount(); ++i) values.push_back(StorableText(ValueText(*row, RunColumns()[i])));
        for (size_t i = 0; i < RunColumnCount(); ++i)
            params.push_back(IsNull(*row, RunColumns()[i]) ? nullptr : values[i].c_str());
        if (!Begin(error)) return false;
        static const std::string insert = InsertRunSql();
        if (!Exec(insert.c_str(), params, PGRES_TUPLES_OK, &res_, error)) return Abandon("writing the run", error);
        const std::string id = PQgetvalue(res_.get(), 0, 0);
        const std::string result = StorableText(row->result), serial = std::to_string(row->serialNumber);
        if (row->serialNumber != -1 &&
            !Exec("UPDATE serials SET state = $1, run_id = $2::bigint WHERE number = $3::bigint",
                  {result.c_str(), id.c_str(), serial.c_str()}, PGRES_COMMAND_OK, nullptr, error))
            return Abandon("writing the run", error);
        for (const int64_t field : row->fieldIds) {
            const std::string fieldText = std::to_string(field);
            if (!Exec("UPDATE unit_fields SET state = $1, run_id = $2::bigint WHERE id = $3::bigint",
                      {result.c_str(), id.c_str(), fieldText.c_str()}, PGRES_COMMAND_OK, nullptr, error))
                return Abandon("writing the run", error);
        }
        if (!Commit("writing the run", error)) return false;
        row->id = ToInt(id.c_str());
        return true;
    }

    // `since` keeps rows that start at or after it; `until` keeps rows up
    // to the end of what it names: started_utc below it or beginning with
    // it, so until "2026-12-09" keeps all of that day. Both compare bytes
    // (COLLATE "C"), whatever the database's collation, as SQLite does.
    bool Query(const HistoryFilter &f, std::vector<RunRow> *out, std::string *error) override {
        out->clear();
        static const std::string select = SelectRunsSql();
        std::string sql = select;
        std::vector<std::string> values;
        const auto param = [&](const std::string &v) {
            values.push_back(v);
            return "$" + std::to_string(values.size());
        };
        if (!f.since.empty()) sql += " AND started_utc COLLATE \"C\" >= " + param(f.since) + "::text";
        if (!f.until.empty()) {
            const std::string p = param(f.until) + "::text";
            sql += " AND left(started_utc, char_length(" + p + ")) COLLATE \"C\" <= " + p;
        }
        if (!f.station.empty()) sql += " AND station = " + param(f.station) + "::text";
        if (!f.result.empty()) sql += " AND result = " + param(f.result) + "::text";
        if (f.serialNumber != -1) sql += " AND serial_number = " + param(std::to_string(f.serialNumber)) + "::bigint";
        if (!f.imageChecksum.empty())
            sql += " AND upper(image_checksum) = upper(" + param(f.imageChecksum) + "::text)";
        if (!f.fieldName.empty()) {
            const std::string name = param(f.fieldName);
            sql += " AND id IN (SELECT run_id FROM unit_fields WHERE name = " + name + "::text AND value = " +
                   param(f.fieldValue) + "::text)";
        }
        // A limit keeps the newest rows; they are still shown oldest first.
        if (f.limit > 0)
            sql = "SELECT * FROM (" + sql + " ORDER BY started_utc COLLATE \"C\" DESC, id DESC LIMIT " +
                  param(std::to_string(f.limit)) + "::bigint) AS newest";
        sql += " ORDER BY started_utc COLLATE \"C\", id";
        for (auto &v : values) v = StorableText(v);
        std::vector<const char *> params;
        for (const auto &v : values) params.push_back(v.c_str());
        if (!Exec(sql.c_str(), params, PGRES_TUPLES_OK, &res_, error) &&
            (!Reconnect(error) || !Exec(sql.c_str(), params, PGRES_TUPLES_OK, &res_, error))) {
            *error = "reading the runs on " + description_ + ": " + *error;
            return false;
        }
        const int n = PQntuples(res_.get());
        out->reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) out->push_back(RowFrom(res_.get(), i));
        res_.reset();
        return true;
    }

private:
    // The field table inside the claim's transaction.
    class PgFields final : public FieldTable {
    public:
        explicit PgFields(PgRecordStore &store) : s_(store) {}
        bool HighestNumber(const std::string &name, const std::string &source, std::optional<int64_t> *out,
                           std::string *error) override {
            const std::string n = StorableText(name), src = StorableText(source);
            if (!s_.Exec("SELECT max(number) FROM unit_fields WHERE name = $1 AND source = $2", {n.c_str(), src.c_str()},
                         PGRES_TUPLES_OK, &s_.res_, error))
                return false;
            *out = PQgetisnull(s_.res_.get(), 0, 0) ? std::nullopt
                                                     : std::optional<int64_t>(ToInt(PQgetvalue(s_.res_.get(), 0, 0)));
            if (SharesSerials(name, source)) {
                if (!s_.Exec("SELECT max(number) FROM serials", {}, PGRES_TUPLES_OK, &s_.res_, error)) return false;
                if (!PQgetisnull(s_.res_.get(), 0, 0)) {
                    const int64_t top = ToInt(PQgetvalue(s_.res_.get(), 0, 0));
                    if (!*out || top > **out) *out = top;
                }
            }
            return true;
        }
        bool ValueUsed(const std::string &name, const std::string &value, bool *used, std::string *error) override {
            const std::string n = StorableText(name), v = StorableText(value);
            if (!s_.Exec("SELECT count(*) FROM unit_fields WHERE name = $1 AND value = $2", {n.c_str(), v.c_str()},
                         PGRES_TUPLES_OK, &s_.res_, error))
                return false;
            *used = ToInt(PQgetvalue(s_.res_.get(), 0, 0)) > 0;
            if (!*used && name == kSerialField) {
                if (!s_.Exec("SELECT count(*) FROM serials WHERE number::text = $1", {v.c_str()}, PGRES_TUPLES_OK,
                             &s_.res_, error))
                    return false;
                *used = ToInt(PQgetvalue(s_.res_.get(), 0, 0)) > 0;
            }
            return true;
        }
        bool Insert(ClaimedField *f, const std::string &station, const std::string &now, std::string *error) override {
            const std::string n = StorableText(f->name), v = StorableText(f->value), src = StorableText(f->source);
            const std::string number = std::to_string(f->number);
            if (!s_.Exec("INSERT INTO unit_fields (name, value, source, number, station, allocated_utc, state)"
                         " VALUES ($1, $2, $3, $4::bigint, $5, $6, 'allocated') RETURNING id",
                         {n.c_str(), v.c_str(), src.c_str(), f->number >= 0 ? number.c_str() : nullptr, station.c_str(),
                          now.c_str()},
                         PGRES_TUPLES_OK, &s_.res_, error))
                return false;
            f->id = ToInt(PQgetvalue(s_.res_.get(), 0, 0));
            if (SharesSerials(f->name, f->source) &&
                !s_.Exec("INSERT INTO serials (number, station, allocated_utc, state) VALUES ($1::bigint, $2, $3, 'allocated')",
                         {number.c_str(), station.c_str(), now.c_str()}, PGRES_COMMAND_OK, nullptr, error))
                return false;
            return true;
        }

    private:
        PgRecordStore &s_;
    };

    // A connection the server dropped (a restart, a network fault) is made
    // anew, but only where nothing of a transaction was sent on it. libpq
    // learns of the drop only from the statement that fails on it, so the
    // callers reconnect after any failure of a statement they can send again.
    bool Reconnect(std::string *error) {
        PQreset(conn_);
        if (PQstatus(conn_) == CONNECTION_OK) return true;
        *error = "lost the connection: " + FirstLine(PQerrorMessage(conn_));
        return false;
    }

    bool Exec(const char *sql, const std::vector<const char *> &params, ExecStatusType want, Result *out,
              std::string *error) {
        Result res(PQexecParams(conn_, sql, static_cast<int>(params.size()), nullptr, params.data(), nullptr,
                                nullptr, 0));
        if (res && PQresultStatus(res.get()) == want) {
            if (out != nullptr) *out = std::move(res);
            return true;
        }
        const char *primary = res ? PQresultErrorField(res.get(), PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        const char *state = res ? PQresultErrorField(res.get(), PG_DIAG_SQLSTATE) : nullptr;
        *error = primary != nullptr ? FirstLine(primary) : FirstLine(PQerrorMessage(conn_));
        if (state != nullptr && std::strcmp(state, "55P03") == 0)
            *error += " (another station holds the serial numbers)";
        return false;
    }

    bool Begin(std::string *error) {
        if (Exec("BEGIN", {}, PGRES_COMMAND_OK, nullptr, error)) return true;
        if (Reconnect(error) && Exec("BEGIN", {}, PGRES_COMMAND_OK, nullptr, error)) return true;
        *error = "starting a transaction on " + description_ + ": " + *error;
        return false;
    }

    // The server answers COMMIT of a failed transaction with ROLLBACK, not an error.
    bool Commit(const char *what, std::string *error) {
        res_.reset();
        Result res;
        if (!Exec("COMMIT", {}, PGRES_COMMAND_OK, &res, error)) return Abandon(what, error);
        if (std::strcmp(PQcmdStatus(res.get()), "COMMIT") == 0) return true;
        *error = std::string("the server rolled the transaction back");
        return Abandon(what, error);
    }

    // Rolls back what the transaction did and says why, under `what`.
    bool Abandon(const char *what, std::string *error) {
        res_.reset();
        if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE)
            Result(PQexec(conn_, "ROLLBACK"));
        if (what != nullptr) *error = std::string(what) + " on " + description_ + ": " + *error;
        return false;
    }

    PGconn *conn_;
    std::string description_;
    Result res_;  // the last query's rows
};

}  // namespace

std::unique_ptr<RecordStore> OpenPgRecordStore(const std::string &conninfo, std::string *error) {
    std::string description = Redacted(conninfo);
    // What the string sets wins over the keys before "dbname"; the keys
    // after it win over the string: the text this store sends is UTF-8.
    std::vector<const char *> keys, values;
    if (std::getenv("PGCONNECT_TIMEOUT") == nullptr) {
        keys.push_back("connect_timeout");
        values.push_back("10");
    }
    keys.push_back("fallback_application_name");
    values.push_back("quillrom");
    keys.push_back("dbname");
    values.push_back(conninfo.c_str());
    keys.push_back("client_encoding");
    values.push_back("UTF8");
    keys.push_back(nullptr);
    values.push_back(nullptr);
    PGconn *conn = PQconnectdbParams(keys.data(), values.data(), 1);
    if (conn == nullptr) {
        *error = "cannot connect to " + description + ": out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        *error = "cannot connect to " + description + ": " + FirstLine(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
    auto store = std::make_unique<PgRecordStore>(conn, std::move(description));
    if (!store->PrepareSchema(error)) return nullptr;
    return store;
}

}  // namespace quillrecord
