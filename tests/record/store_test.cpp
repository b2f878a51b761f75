// What both record stores promise, run against each: SQLite in a file of
// its own and PostgreSQL on a private server. A station moved from one to
// the other must see the same rows, filters and serial numbers.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "record/record_store.h"
#include "record/schema.h"
#include "record/store_rows.h"
#ifdef QUILLROM_TEST_HAVE_PG
#include "record/pg_server.h"
#endif

namespace {

using quillrecord::Allocation;
using quillrecord::HistoryFilter;
using quillrecord::RecordStore;
using quillrecord::RunRow;
using storetest::Row;

class StoreContract : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        if (Sqlite()) {
            std::string tmpl = (std::filesystem::temp_directory_path() / "quillrom-store-XXXXXX").string();
            ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
            dir_ = tmpl;
            url_ = "sqlite:" + dir_ + "/line.db";
        } else {
#ifdef QUILLROM_TEST_HAVE_PG
            server_ = std::make_unique<pgtest::PgServer>();
            if (!server_->missing().empty()) GTEST_SKIP() << server_->missing();
            ASSERT_EQ(server_->error(), "");
            url_ = server_->Url();
#else
            GTEST_SKIP() << "built without PostgreSQL (libpq)";
#endif
        }
        store_ = quillrecord::OpenRecordStore(url_, &error_);
        ASSERT_NE(store_, nullptr) << error_;
    }
    void TearDown() override {
        store_.reset();
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    bool Sqlite() const { return std::string(GetParam()) == "sqlite"; }

    // One value of a query on the store's own database, as text.
    std::string Value(const std::string &sql) {
#ifdef QUILLROM_TEST_HAVE_PG
        if (!Sqlite()) return server_->Value(sql);
#endif
        sqlite3 *db = nullptr;
        std::string value = "(no value)";
        if (sqlite3_open_v2((dir_ + "/line.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt *q = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr) == SQLITE_OK && sqlite3_step(q) == SQLITE_ROW) {
                const unsigned char *text = sqlite3_column_text(q, 0);
                value = text ? reinterpret_cast<const char *>(text) : "";
            }
            sqlite3_finalize(q);
        }
        sqlite3_close(db);
        return value;
    }

    // Runs statements on the store's own database; true when all ran.
    bool Exec(const std::string &sql) {
#ifdef QUILLROM_TEST_HAVE_PG
        if (!Sqlite()) return server_->Value(sql).empty();
#endif
        sqlite3 *db = nullptr;
        bool ok = sqlite3_open_v2((dir_ + "/line.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return ok;
    }

    Allocation Allocate(int64_t start, int64_t highest, int count, std::vector<int64_t> *got) {
        return store_->AllocateSerials(start, highest, count, "st1", got, &error_);
    }

    std::string dir_, url_, error_;
    std::unique_ptr<RecordStore> store_;
#ifdef QUILLROM_TEST_HAVE_PG
    std::unique_ptr<pgtest::PgServer> server_;
#endif
};

TEST_P(StoreContract, QueryFiltersAndOrders) {
    // Written out of order: the store orders by start time, then by id.
    std::vector<RunRow> rows = {
        Row("2026-12-10T00:00:00.000Z", "st2", "failed", 7, "FFFF"),  // 0
        Row("2026-12-09T10:59:59.999Z", "st1", "ok", 5),              // 1
        Row("2026-12-08T23:59:59.999Z", "st1", "ok", 3),              // 2
        Row("2026-12-09T11:00:00.000Z", "st2", "port"),               // 3
        Row("2026-12-09T00:00:00.000Z", "st1", "failed", 4),          // 4
        Row("2026-12-09T10:59:59.999Z", "st2", "ok", 6),              // 5, same start as 1
    };
    for (RunRow &r : rows) ASSERT_TRUE(store_->WriteRun(&r, &error_)) << error_;
    const auto filter = [](auto set) {
        HistoryFilter f;
        set(f);
        return f;
    };
    struct Case {
        const char *what;
        HistoryFilter filter;
        std::vector<int> expected;  // indices into rows, in the order returned
    };
    const std::vector<Case> cases = {
        {"all", {}, {2, 4, 1, 5, 3, 0}},
        {"since a day", filter([](HistoryFilter &f) { f.since = "2026-12-09"; }), {4, 1, 5, 3, 0}},
        {"until a day includes all of it", filter([](HistoryFilter &f) { f.until = "2026-12-09"; }), {2, 4, 1, 5, 3}},
        {"until an hour includes all of it", filter([](HistoryFilter &f) { f.until = "2026-12-09T10"; }),
         {2, 4, 1, 5}},
        {"one day", filter([](HistoryFilter &f) { f.since = f.until = "2026-12-09"; }), {4, 1, 5, 3}},
        {"since an instant", filter([](HistoryFilter &f) { f.since = "2026-12-09T10:59:59.999Z"; }), {1, 5, 3, 0}},
        {"station", filter([](HistoryFilter &f) { f.station = "st2"; }), {5, 3, 0}},
        {"result", filter([](HistoryFilter &f) { f.result = "failed"; }), {4, 0}},
        {"serial number", filter([](HistoryFilter &f) { f.serialNumber = 5; }), {1}},
        {"image checksum", filter([](HistoryFilter &f) { f.imageChecksum = "FFFF"; }), {0}},
        {"image checksum in lower case", filter([](HistoryFilter &f) { f.imageChecksum = "ffff"; }), {0}},
        {"filters combine",
         filter([](HistoryFilter &f) { f.station = "st1", f.result = "ok", f.since = "2026-12-09"; }), {1}},
        {"limit keeps the newest, oldest first", filter([](HistoryFilter &f) { f.limit = 3; }), {5, 3, 0}},
        {"limit after the filters", filter([](HistoryFilter &f) { f.station = "st1", f.limit = 2; }), {4, 1}},
        {"a value is never SQL", filter([](HistoryFilter &f) { f.station = "x' OR '1'='1"; }), {}},
    };
    for (const Case &c : cases) {
        std::vector<RunRow> got;
        ASSERT_TRUE(store_->Query(c.filter, &got, &error_)) << c.what << ": " << error_;
        std::vector<int64_t> ids, want;
        for (const RunRow &r : got) ids.push_back(r.id);
        for (int i : c.expected) want.push_back(rows[static_cast<size_t>(i)].id);
        EXPECT_EQ(ids, want) << c.what;
    }
}

TEST_P(StoreContract, SerialNumbersAreNeverHandedOutTwice) {
    std::vector<int64_t> got;
    ASSERT_EQ(Allocate(100, 9999, 3, &got), Allocation::Done) << error_;
    EXPECT_EQ(got, (std::vector<int64_t>{100, 101, 102}));
    ASSERT_EQ(Allocate(100, 9999, 2, &got), Allocation::Done) << error_;
    EXPECT_EQ(got, (std::vector<int64_t>{103, 104}));
    ASSERT_EQ(Allocate(500, 9999, 1, &got), Allocation::Done) << error_;
    EXPECT_EQ(got, (std::vector<int64_t>{500}));

    // The unit that got 500 failed: its number is spent, not given again.
    RunRow failed = Row("2026-12-09T10:00:00.000Z", "st1", "failed", 500);
    ASSERT_TRUE(store_->WriteRun(&failed, &error_)) << error_;
    EXPECT_EQ(Value("SELECT state || ' ' || run_id FROM serials WHERE number = 500"),
              "failed " + std::to_string(failed.id));
    ASSERT_EQ(Allocate(100, 9999, 1, &got), Allocation::Done) << error_;
    EXPECT_EQ(got, (std::vector<int64_t>{501}));

    // A negative start would reach -1, which rows read as "no serial number".
    EXPECT_EQ(Allocate(-2, 9999, 3, &got), Allocation::Failed);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(Value("SELECT count(*) FROM serials"), "7");
}

// Numbers that would not fit in the unit's bytes are not handed out, so
// none is left allocated to no unit and a wider field goes on from there.
TEST_P(StoreContract, NumbersPastTheHighestAreNotHandedOut) {
    std::vector<int64_t> got;
    ASSERT_EQ(Allocate(254, 255, 1, &got), Allocation::Done) << error_;
    EXPECT_EQ(got, (std::vector<int64_t>{254}));
    struct Case {
        int64_t start, highest;
        int count;
        const char *firstPast;
    } cases[] = {
        {1, 255, 2, "256"},      // a gang of two: the second would not fit
        {1, 255, 1000, "256"},
        {300, 255, 1, "300"},    // the start alone is too high
        {1, 254, 1, "255"},
        {INT64_MAX - 1, INT64_MAX, 3, "9223372036854775808"},  // past what a number can hold
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Allocate(c.start, c.highest, c.count, &got), Allocation::PastHighest) << c.firstPast;
        EXPECT_TRUE(got.empty());
        EXPECT_NE(error_.find("serial number " + std::string(c.firstPast) + " "), std::string::npos) << error_;
    }
    EXPECT_EQ(Value("SELECT count(*) FROM serials"), "1");
    ASSERT_EQ(Allocate(1, 255, 1, &got), Allocation::Done) << error_;
    EXPECT_EQ(got, (std::vector<int64_t>{255}));
    ASSERT_EQ(Allocate(1, INT64_MAX, 2, &got), Allocation::Done) << error_;
    EXPECT_EQ(got, (std::vector<int64_t>{256, 257}));
}

// A record made before the load sources were kept is brought up to date
// when opened: its rows stay, new rows keep their sources.
TEST_P(StoreContract, FirstSchemaIsUpdatedKeepingItsRows) {
    RunRow old = Row("2026-12-09T10:00:00.000Z", "st1", "ok", 3);
    ASSERT_TRUE(store_->WriteRun(&old, &error_)) << error_;
    store_.reset();
    ASSERT_TRUE(Exec("ALTER TABLE runs DROP COLUMN load_sources"));
    ASSERT_TRUE(Exec("ALTER TABLE runs DROP COLUMN job_sha256"));
    ASSERT_TRUE(Exec("ALTER TABLE runs DROP COLUMN job_signer"));
    ASSERT_TRUE(Exec("DROP TABLE unit_fields"));
    ASSERT_TRUE(Exec("UPDATE schema_version SET version = 1"));
    store_ = quillrecord::OpenRecordStore(url_, &error_);
    ASSERT_NE(store_, nullptr) << error_;
    EXPECT_EQ(Value("SELECT max(version) FROM schema_version"), std::to_string(quillrecord::kSchemaVersion));
    RunRow now = Row("2026-12-10T10:00:00.000Z", "st1", "ok", 4);
    now.loadSources = std::string(64, 'a') + "  app.elf\n" + std::string(64, 'b') + "  cal.bin@0x7C00";
    ASSERT_TRUE(store_->WriteRun(&now, &error_)) << error_;
    std::vector<RunRow> got;
    ASSERT_TRUE(store_->Query(HistoryFilter{}, &got, &error_)) << error_;
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].serialNumber, 3);
    EXPECT_EQ(got[0].loadSources, "");
    EXPECT_EQ(got[1].loadSources, now.loadSources);
}

// Field values: a counter and a list go on from run to run, a value is
// never handed out twice whatever its source, and a claim that cannot be
// met hands out nothing.
TEST_P(StoreContract, FieldClaimsNeverRepeatAValue) {
    using quillrecord::ClaimEnd;
    using quillrecord::ClaimedField;
    using quillrecord::FieldClaim;
    const std::vector<std::string> macs = {"00:00:00:00:00:01", "", "00:00:00:00:00:02", "00:00:00:00:00:03"};
    const auto counter = [](int64_t start, int64_t step, int64_t highest) {
        FieldClaim c;
        c.name = "unit", c.source = "counter", c.kind = FieldClaim::Kind::kCounter;
        c.start = start, c.step = step, c.highest = highest;
        return c;
    };
    FieldClaim list, scan;
    list.name = "mac", list.source = "list:macs.csv", list.kind = FieldClaim::Kind::kList, list.rows = &macs;
    list.list = "macs.csv";
    scan.name = "unit", scan.source = "scan", scan.value = "120";
    std::vector<std::vector<ClaimedField>> got;
    const auto values = [&] {
        std::vector<std::string> v;
        for (const auto &unit : got)
            for (const ClaimedField &f : unit) v.push_back(f.name + "=" + f.value);
        return v;
    };
    // Two units, then one more: the counter and the list go on where they stopped.
    ASSERT_EQ(store_->ClaimFields({{counter(100, 10, 999), list}, {counter(100, 10, 999), list}}, "st1", &got, &error_),
              ClaimEnd::kDone) << error_;
    EXPECT_EQ(values(), (std::vector<std::string>{"unit=100", "mac=00:00:00:00:00:01", "unit=110", "mac=00:00:00:00:00:02"}));
    // A scanned 120 takes the counter's next value: the counter passes it.
    ASSERT_EQ(store_->ClaimFields({{scan}}, "st1", &got, &error_), ClaimEnd::kDone) << error_;
    ASSERT_EQ(store_->ClaimFields({{counter(100, 10, 999), list}}, "st2", &got, &error_), ClaimEnd::kDone) << error_;
    EXPECT_EQ(values(), (std::vector<std::string>{"unit=130", "mac=00:00:00:00:00:03"}));
    const std::string allocated = Value("SELECT count(*) FROM unit_fields");
    FieldClaim tooLong = scan;
    tooLong.value = "1234567";
    tooLong.fits = [](const std::string &v, std::string *why) {
        *why = v + " is too long";
        return v.size() < 4;
    };
    EXPECT_EQ(allocated, "7");
    struct Refusal {
        std::vector<std::vector<FieldClaim>> units;
        ClaimEnd end;
        const char *reason;
    } refusals[] = {
        {{{counter(100, 10, 999)}, {list}}, ClaimEnd::kExhausted, "list macs.csv exhausted after 3 units"},
        {{{counter(100, 10, 139)}, {counter(100, 10, 139)}}, ClaimEnd::kPastHighest, "unit 140 is above 139"},
        {{{scan}}, ClaimEnd::kUsed, "unit 120 was used before"},
        {{{counter(100, 10, 999)}, {tooLong}}, ClaimEnd::kRefused, "too long"},
    };
    for (const Refusal &r : refusals) {
        EXPECT_EQ(store_->ClaimFields(r.units, "st1", &got, &error_), r.end) << r.reason;
        EXPECT_NE(error_.find(r.reason), std::string::npos) << error_;
        EXPECT_TRUE(got.empty());
        EXPECT_EQ(Value("SELECT count(*) FROM unit_fields"), allocated) << "nothing handed out: " << r.reason;
    }
    // The run that used them marks them with its result.
    ASSERT_EQ(store_->ClaimFields({{counter(100, 10, 999)}}, "st1", &got, &error_), ClaimEnd::kDone) << error_;
    RunRow row = Row("2026-12-10T10:00:00.000Z", "st1", "failed");
    row.fieldIds = {got[0][0].id};
    ASSERT_TRUE(store_->WriteRun(&row, &error_)) << error_;
    EXPECT_EQ(Value("SELECT state || ' ' || run_id FROM unit_fields WHERE value = '140'"),
              "failed " + std::to_string(row.id));

    // The field serial's counter and --serial-number hand out one sequence.
    std::vector<int64_t> serials;
    ASSERT_EQ(store_->AllocateSerials(5, INT64_MAX, 2, "st1", &serials, &error_), quillrecord::Allocation::Done);
    FieldClaim serial = counter(1, 1, 999);
    serial.name = "serial";
    ASSERT_EQ(store_->ClaimFields({{serial}}, "st1", &got, &error_), ClaimEnd::kDone) << error_;
    EXPECT_EQ(values(), (std::vector<std::string>{"serial=7"}));
    ASSERT_EQ(store_->AllocateSerials(1, INT64_MAX, 1, "st1", &serials, &error_), quillrecord::Allocation::Done);
    EXPECT_EQ(serials, (std::vector<int64_t>{8}));
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreContract, ::testing::Values("sqlite", "postgresql"),
                         [](const auto &info) { return std::string(info.param); });

}  // namespace
