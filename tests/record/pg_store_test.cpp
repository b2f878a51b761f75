// The PostgreSQL record store against a private server: rows come back as
// written, two processes at once never get the same number, and a
// connection lost mid-run leaves no half row.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "record/pg_server.h"
#include "record/pg_store.h"
#include "record/store_rows.h"

namespace {

using quillrecord::HistoryFilter;
using quillrecord::RecordStore;
using quillrecord::RunRow;
using storetest::Fields;
using storetest::Row;

class PgStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<pgtest::PgServer>();
        if (!server_->missing().empty()) GTEST_SKIP() << server_->missing();
        ASSERT_EQ(server_->error(), "");
        store_ = Open();
        ASSERT_NE(store_, nullptr) << error_;
    }

    std::unique_ptr<RecordStore> Open() { return quillrecord::OpenPgRecordStore(server_->Url(), &error_); }

    std::vector<RunRow> All() {
        std::vector<RunRow> rows;
        std::string error;
        EXPECT_TRUE(store_->Query(HistoryFilter{}, &rows, &error)) << error;
        return rows;
    }

    std::unique_ptr<pgtest::PgServer> server_;
    std::unique_ptr<RecordStore> store_;
    std::string error_;
};

TEST_F(PgStoreTest, RowsComeBackAsWritten) {
    RunRow full;
    int n = 0;
    for (std::string *s : {&full.station, &full.operatorName, &full.startedUtc, &full.endedUtc, &full.portName,
                           &full.portPath, &full.adapterSerial, &full.command, &full.options, &full.prmPath,
                           &full.prmChecksum, &full.loadPath, &full.imageChecksum, &full.streamSha256, &full.deviceId,
                           &full.deviceName, &full.deviceVersion, &full.statusText, &full.checksumCompare, &full.loadSources,
                           &full.result})
        *s = "field" + std::to_string(n++);
    full.startedUtc = "2026-12-09T10:21:27.123Z";
    full.operatorName = "Zoë O'Brien";
    full.options = "--port COM40 --name \"a b\" 'c' \\d $1 ; DROP TABLE runs; --";
    full.finalStatus = -7;
    full.exitCode = 3;
    full.durationMs = 1234567890123;
    full.bytesProgrammed = 65536;
    std::vector<int64_t> serial;
    ASSERT_EQ(store_->AllocateSerials(1, 100, 1, "st", &serial, &error_), quillrecord::Allocation::Done) << error_;
    full.serialNumber = serial.at(0);
    full.log = "line 1 \"quoted\" and 'single'\nline 2 \\ backslash\r\n\tµs, ° Grad, 日本語 ✓\n\nlast";

    // Text the server would refuse whole: a Latin-1 byte and a NUL are kept
    // as characters, and nothing after them is lost.
    RunRow odd = Row("2026-12-09T10:21:28.000Z");
    odd.prmPath = "/home/r\xE9mi/caf\xE9.prm";
    odd.log = std::string("before\0after \xFF end", 18);

    ASSERT_TRUE(store_->WriteRun(&full, &error_)) << error_;
    ASSERT_TRUE(store_->WriteRun(&odd, &error_)) << error_;
    EXPECT_GT(full.id, 0);
    EXPECT_GT(odd.id, full.id);

    const std::vector<RunRow> rows = All();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].id, full.id);
    EXPECT_EQ(Fields(rows[0]), Fields(full));
    EXPECT_EQ(rows[1].id, odd.id);
    EXPECT_EQ(rows[1].serialNumber, -1);
    EXPECT_EQ(rows[1].prmPath, "/home/r\xC3\xA9mi/caf\xC3\xA9.prm");
    EXPECT_EQ(rows[1].log, "before\xE2\x90\x80" "after \xC3\xBF end");
    // "No serial number" is NULL in the table, not a number -1 a report would count.
    EXPECT_EQ(server_->Value("SELECT count(*) FROM runs WHERE serial_number IS NULL"), "1");
}

// Two stations allocating at once, one number at a time, each on its own
// connection from its own process, starting together on an empty database.
TEST_F(PgStoreTest, TwoProcessesAllocatingAtOnceGetDistinctNumbers) {
    store_.reset();
    ASSERT_EQ(server_->Value("DROP TABLE runs, serials, unit_fields, schema_version"), "");
    constexpr int kEach = 50;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    struct Child {
        pid_t pid;
        int out;
    };
    std::vector<Child> children;
    for (int c = 0; c < 2; ++c) {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            ::close(out[0]);
            char b;
            (void)!::read(gate[0], &b, 1);  // returns at the parent's close
            std::string text, error;
            auto store = quillrecord::OpenPgRecordStore(server_->Url(), &error);
            for (int i = 0; store && i < kEach; ++i) {
                std::vector<int64_t> got;
                if (store->AllocateSerials(1000, 1000000, 1, "child" + std::to_string(c), &got, &error) !=
                        quillrecord::Allocation::Done ||
                    got.size() != 1)
                    break;
                text += std::to_string(got[0]) + "\n";
            }
            if (!error.empty()) text += "E " + error + "\n";
            (void)!::write(out[1], text.data(), text.size());
            ::_exit(0);  // no destructors: the parent's objects are not this process's to close
        }
        ::close(out[1]);
        children.push_back({pid, out[0]});
    }
    ::close(gate[0]);
    ::close(gate[1]);

    std::multiset<int64_t> all;
    for (Child &child : children) {
        std::string text;
        char buf[4096];
        for (;;) {
            pollfd p{child.out, POLLIN, 0};
            ASSERT_EQ(::poll(&p, 1, 120000), 1) << "a child did not finish";
            const ssize_t n = ::read(child.out, buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
        ::close(child.out);
        EXPECT_EQ(pgtest::WaitExit(child.pid, 60), 0);
        EXPECT_EQ(text.find("E "), std::string::npos) << text;
        std::istringstream lines(text);
        for (int64_t v; lines >> v;) all.insert(v);
    }
    ASSERT_EQ(all.size(), 2u * kEach);
    EXPECT_EQ(std::set<int64_t>(all.begin(), all.end()).size(), all.size()) << "a number was handed out twice";
    EXPECT_EQ(*all.begin(), 1000);
    EXPECT_EQ(*all.rbegin(), 1000 + 2 * kEach - 1);
}

// The server goes away between allocating a number and writing its run.
TEST_F(PgStoreTest, ServerStoppedBeforeTheRunIsWritten) {
    std::vector<int64_t> got;
    ASSERT_EQ(store_->AllocateSerials(1, 100, 1, "st1", &got, &error_), quillrecord::Allocation::Done) << error_;
    std::string error;
    ASSERT_TRUE(server_->Stop("immediate", &error)) << error;
    RunRow row = Row("2026-12-09T10:00:00.000Z", "st1", "ok", got.at(0));
    EXPECT_FALSE(store_->WriteRun(&row, &error_));
    EXPECT_NE(error_, "");
    EXPECT_EQ(row.id, 0);
    ASSERT_TRUE(server_->Start(&error)) << error;

    EXPECT_EQ(server_->Value("SELECT count(*) FROM runs"), "0");
    EXPECT_EQ(server_->Value("SELECT state FROM serials WHERE number = 1"), "allocated");
    // The same store carries on once the server is back.
    ASSERT_TRUE(store_->WriteRun(&row, &error_)) << error_;
    EXPECT_EQ(All().size(), 1u);

    // A crash and restart between two units, unseen by the store: the next
    // run is written all the same.
    ASSERT_TRUE(server_->Stop("immediate", &error)) << error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    RunRow next = Row("2026-12-09T10:01:00.000Z");
    EXPECT_TRUE(store_->WriteRun(&next, &error_)) << error_;
    ASSERT_TRUE(server_->Stop("fast", &error)) << error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    EXPECT_EQ(All().size(), 2u);
}

// The connection ends after the row is inserted and before the commit.
TEST_F(PgStoreTest, ConnectionLostWithinTheWriteLeavesNoRow) {
    std::vector<int64_t> got;
    ASSERT_EQ(store_->AllocateSerials(1, 100, 1, "st1", &got, &error_), quillrecord::Allocation::Done) << error_;
    ASSERT_EQ(server_->Value("CREATE FUNCTION end_session() RETURNS trigger LANGUAGE plpgsql AS "
                             "$$ BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); RETURN NEW; END $$;"
                             "CREATE TRIGGER end_session BEFORE UPDATE ON serials "
                             "FOR EACH ROW EXECUTE FUNCTION end_session()"),
              "");
    RunRow row = Row("2026-12-09T10:00:00.000Z", "st1", "ok", got.at(0));
    EXPECT_FALSE(store_->WriteRun(&row, &error_));
    EXPECT_EQ(row.id, 0);
    EXPECT_EQ(server_->Value("SELECT count(*) FROM runs"), "0");
    EXPECT_EQ(server_->Value("SELECT state FROM serials WHERE number = 1"), "allocated");
}

TEST_F(PgStoreTest, SchemaIsKeptAndANewerOneRefused) {
    RunRow row = Row("2026-12-09T10:00:00.000Z");
    ASSERT_TRUE(store_->WriteRun(&row, &error_)) << error_;
    store_ = Open();
    ASSERT_NE(store_, nullptr) << error_;
    EXPECT_EQ(All().size(), 1u);
    EXPECT_EQ(server_->Value("SELECT count(*) || ' ' || max(version) FROM schema_version"), "1 " + std::to_string(quillrecord::kSchemaVersion));

    store_.reset();
    ASSERT_EQ(server_->Value("UPDATE schema_version SET version = " + std::to_string(quillrecord::kSchemaVersion + 1)),
              "");
    EXPECT_EQ(Open(), nullptr);
    EXPECT_NE(error_.find("schema version " + std::to_string(quillrecord::kSchemaVersion + 1)), std::string::npos)
        << error_;
}

// The store's name goes into messages and logs: never with the password.
TEST_F(PgStoreTest, DescriptionCarriesNoPassword) {
    const std::string dir = server_->dir();
    const std::vector<std::string> conninfos = {
        "postgresql://quill:s3cret@/quill?host=" + dir,
        "postgres:///quill?host=" + dir + "&user=quill&password=s3cret",
        "host=" + dir + " user=quill password='s3cret' dbname=quill",
    };
    for (const std::string &conninfo : conninfos) {
        auto store = quillrecord::OpenPgRecordStore(conninfo, &error_);
        ASSERT_NE(store, nullptr) << conninfo << ": " << error_;
        const std::string d = store->Describe();
        EXPECT_EQ(d.find("s3cret"), std::string::npos) << d;
        EXPECT_NE(d.find(dir), std::string::npos) << d;
        EXPECT_NE(d.find("quill"), std::string::npos) << d;
    }
    EXPECT_EQ(quillrecord::OpenPgRecordStore("postgresql://quill:s3cret@/nosuchdb?host=" + dir, &error_), nullptr);
    EXPECT_EQ(error_.find("s3cret"), std::string::npos) << error_;
    EXPECT_NE(error_.find("nosuchdb"), std::string::npos) << error_;
}

}  // namespace
