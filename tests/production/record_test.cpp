// Every device command leaves one row per target: what ran, where, on what,
// and how it ended; `history` reads them back as a table, JSON and CSV.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "cli/cli_fixture.h"
#include "history_text.h"
#include "record/serial_number.h"
#include "record/unit_field.h"
#ifdef QUILLROM_TEST_HAVE_PG
#include "record/pg_server.h"
#endif
#include "quillctl.h"

extern char **environ;

using namespace clitest;

namespace {

constexpr int kPort = 71;

// RFC 4180: fields split on commas outside quotes, "" inside quotes is one ".
std::vector<std::vector<std::string>> ParseCsv(const std::string &text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false, any = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += '"', ++i;
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"') {
            quoted = any = true;
        } else if (c == ',') {
            rows.back().push_back(field), field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(field), field.clear();
            rows.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    if (!field.empty() || !rows.back().empty()) rows.back().push_back(field);
    if (rows.back().empty()) rows.pop_back();
    (void)any;
    return rows;
}

std::string Sha256Hex(const uint8_t *bytes, size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(bytes, size, digest, &length, EVP_sha256(), nullptr), 1);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) std::snprintf(pair, sizeof pair, "%02x", digest[i]), hex += pair;
    return hex;
}

class RecordTest : public CliTest {
protected:
    std::string Db() const { return "sqlite:" + dir + "/line.db"; }
};

TEST_F(RecordTest, EachTargetOfAGangGetsARowAndHistoryReadsThemBack) {
    std::vector<uint8_t> image;
    const std::string hex = WriteImage("gang.hex", 0, 0x900, 4, &image);
    std::vector<std::string> args = {"program", hex, "--prm", Sample("demo.prm"), "--auto-range", "--checksum",
                                     "--db", Db(), "--station", "line-2", "--operator", "Ana \"QA\", night"};
    for (int p = kPort; p < kPort + 3; ++p) {
        quillsim::VirtualTarget &sim = AddTarget(p);
        if (p == kPort + 1) {
            ASSERT_TRUE(sim.addFault("write-fail:byte=300"));
        }
        args.insert(args.end(), {"--port", "COM" + std::to_string(p)});
    }
    const CliRun run = Cli(args);
    ASSERT_EQ(run.code, 1) << Show(run);

    CliRun r = Cli({"history", "--db", Db(), "--json"});
    ASSERT_EQ(r.code, 0) << Show(r);
    const auto rows = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(rows.is_array() && rows.size() == 3) << r.out;
    for (size_t i = 0; i < 3; ++i) {
        const auto &row = rows[i];
        SCOPED_TRACE(row.dump());
        const bool failing = i == 1;
        EXPECT_EQ(row["station"], "line-2");
        EXPECT_EQ(row["operator"], "Ana \"QA\", night");
        EXPECT_EQ(row["command"], "program");
        EXPECT_EQ(row["result"], failing ? "failed" : "ok");
        EXPECT_EQ(row["exit_code"], failing ? 1 : 0);
        EXPECT_EQ(row["final_status"], failing ? PRR_STATUS_FLASH_WRITE : 0);
        EXPECT_EQ(row["checksum_compare"], failing ? "" : "ok");
        EXPECT_EQ(row["prm_path"], Sample("demo.prm"));
        EXPECT_EQ(row["load_path"], hex);
        {
            std::ifstream in(hex, std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(row["load_sources"], Sha256Hex(reinterpret_cast<const uint8_t *>(text.data()), text.size()) + "  " + hex);
        }
        EXPECT_EQ(row["image_checksum"].get<std::string>().size(), 4u);
        EXPECT_FALSE(row["prm_checksum"].get<std::string>().empty());
        EXPECT_GT(row["bytes_programmed"].get<int64_t>(), failing ? -1 : 0);
        // What the target holds over the programmed range is what the row's digest covers.
        const std::vector<uint8_t> flash = targets[i]->flash();
        const auto programmed = static_cast<size_t>(row["bytes_programmed"].get<int64_t>());
        if (!failing) {
            ASSERT_LE(programmed, flash.size());
            EXPECT_EQ(row["stream_sha256"], Sha256Hex(flash.data(), programmed));
        }
        EXPECT_EQ(row["stream_sha256"].get<std::string>().size(), 64u) << "a failed unit's row has it too";
        EXPECT_NE(row["options"].get<std::string>().find("--auto-range"), std::string::npos);
        EXPECT_LE(row["started_utc"].get<std::string>(), row["ended_utc"].get<std::string>());
        const std::string log = row["log"];
        EXPECT_NE(log.find(">>COMMAND: Program"), std::string::npos) << "the target's own lines";
        EXPECT_FALSE(log.rfind("COM7", 0) == 0) << "without the gang's port prefixes";
    }

    // Filters, and CSV that a parser reads back field for field.
    r = Cli({"history", "--db", Db(), "--result", "failed"});
    EXPECT_TRUE(Has(r.out, "COM72")) << r.out;
    EXPECT_FALSE(Has(r.out, "COM71")) << r.out;
    EXPECT_TRUE(Has(Cli({"history", "--db", Db(), "--station", "line-9"}).out, "no runs recorded"));
    // The rows' own times and parts of them select; what is no time is refused,
    // not answered with an empty record.
    const std::string started = rows[0]["started_utc"];
    for (const std::string &since : {started, started.substr(0, 19) + "Z", started.substr(0, 10) + " " + started.substr(11, 5)})
        EXPECT_EQ(ParseCsv(Cli({"history", "--db", Db(), "--csv", "--since", since}).out).size(), 4u) << since;
    for (const char *bad : {"yesterday", "2026-13-01", "2026-12-09T25", "2026-12-9", "2026-12-09T10:00:00.1234"}) {
        r = Cli({"history", "--db", Db(), "--until", bad});
        EXPECT_EQ(r.code, 2) << bad << ": " << Show(r);
        EXPECT_TRUE(Has(r.err, "is not a UTC time")) << Show(r);
    }
    EXPECT_EQ(Cli({"history", "--db", Db(), "--limit", "0"}).code, 2);
    r = Cli({"history", "--db", Db(), "--csv"});
    const auto csv = ParseCsv(r.out);
    ASSERT_EQ(csv.size(), 4u) << r.out;
    EXPECT_EQ(csv[0][0], "id");
    const size_t logColumn = static_cast<size_t>(std::find(csv[0].begin(), csv[0].end(), "log") - csv[0].begin());
    ASSERT_LT(logColumn, csv[0].size());
    for (size_t i = 1; i < csv.size(); ++i) {
        ASSERT_EQ(csv[i].size(), csv[0].size()) << "row " << i;
        EXPECT_EQ(csv[i][2], "Ana \"QA\", night");
        const auto &log = csv[i][logColumn];
        EXPECT_EQ(log, rows[i - 1]["log"].get<std::string>()) << "multi-line log survives";
    }
    r = Cli({"history", "--db", Db(), "--summary", "--json"});
    const auto summary = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(summary.is_array() && summary.size() == 1) << r.out;
    EXPECT_EQ(summary[0]["runs"], 3);
    EXPECT_EQ(summary[0]["ok"], 2);
    EXPECT_NEAR(summary[0]["yield"].get<double>(), 66.7, 0.1);
}

TEST_F(RecordTest, ADatabaseThatCannotBeWrittenStopsTheCommandBeforeTheDevice) {
    quillsim::VirtualTarget &sim = AddTarget(kPort);
    const std::string blocker = dir + "/not-a-folder";
    std::ofstream(blocker) << "x";
    const CliRun r = Cli({"erase", "--prm", Sample("demo.prm"), "--port", "COM" + std::to_string(kPort), "--db",
                          "sqlite:" + blocker + "/history.db"});
    EXPECT_EQ(r.code, 3) << Show(r);
    EXPECT_TRUE(Has(r.err, "cannot record the run: ")) << Show(r);
    EXPECT_EQ(sim.framesReceived(), 0u) << "no device was touched";

    // --no-record goes ahead; the default database sits in the user's data folder.
    EXPECT_EQ(Cli({"erase", "--prm", Sample("demo.prm"), "--port", "COM" + std::to_string(kPort), "--no-record"}).code, 0);
    EXPECT_FALSE(std::filesystem::exists(dir + "/data/quillrom/history.db"));
    EXPECT_EQ(Cli({"signature", "--prm", Sample("demo.prm"), "--port", "COM" + std::to_string(kPort)}).code, 0);
    EXPECT_TRUE(std::filesystem::exists(dir + "/data/quillrom/history.db"));
    EXPECT_TRUE(Has(Cli({"history"}).out, "signature"));
    // The signature read names the device in its row.
    const auto rows = nlohmann::json::parse(Cli({"history", "--json"}).out, nullptr, false);
    ASSERT_TRUE(rows.is_array() && rows.size() == 1);
    EXPECT_EQ(rows[0]["device_id"].get<std::string>().size(), 6u) << rows[0].dump();
    EXPECT_FALSE(rows[0]["device_name"].get<std::string>().empty()) << rows[0].dump();
    EXPECT_NE(rows[0]["device_version"].get<std::string>().find('.'), std::string::npos) << rows[0].dump();
    EXPECT_EQ(rows[0]["stream_sha256"], "") << "a signature read streams nothing";
}

// A gang with serial numbers, against each kind of database: distinct
// consecutive numbers, each in its own target's flash in the chosen format;
// a failing unit keeps its number as failed; the next run goes on above.
class SerialGang : public RecordTest, public ::testing::WithParamInterface<const char *> {
protected:
    // The database URL, or "" with `skip` set when this kind cannot run here.
    std::string Url(std::string *skip) {
        if (std::string(GetParam()) == "sqlite") return Db();
#ifdef QUILLROM_TEST_HAVE_PG
        server_ = std::make_unique<pgtest::PgServer>();
        if (!server_->missing().empty()) {
            *skip = server_->missing();
            return "";
        }
        EXPECT_EQ(server_->error(), "");
        return server_->Url();
#else
        *skip = "built without PostgreSQL (libpq)";
        return "";
#endif
    }
#ifdef QUILLROM_TEST_HAVE_PG
    std::unique_ptr<pgtest::PgServer> server_;
#endif
};

TEST_P(SerialGang, EachTargetGetsTheNextNumberInItsOwnFlash) {
    std::string skip;
    const std::string url = Url(&skip);
    if (url.empty()) GTEST_SKIP() << skip;
    std::vector<uint8_t> image;
    const std::string hex = WriteImage("unit.hex", 0, 0x900, 6, &image);
    std::vector<std::string> args = {"program", hex, "--prm", Sample("demo.prm"), "--range", "block:0-0",
                                     "--serial-number", "0x0F00:4:bcd", "--serial-start", "1000", "--db", url};
    for (int p = kPort; p < kPort + 4; ++p) {
        quillsim::VirtualTarget &sim = AddTarget(p);
        if (p == kPort + 3) {
            ASSERT_TRUE(sim.addFault("write-fail:byte=3900"));  // after the page with the number
        }
        args.insert(args.end(), {"--port", "COM" + std::to_string(p)});
    }
    CliRun r = Cli(args);
    EXPECT_EQ(r.code, 1) << Show(r);
    const std::vector<std::vector<uint8_t>> numbers = {
        {0x00, 0x00, 0x10, 0x00}, {0x00, 0x00, 0x10, 0x01}, {0x00, 0x00, 0x10, 0x02}, {0x00, 0x00, 0x10, 0x03}};
    for (int i = 0; i < 3; ++i) {
        // The block is programmed whole: 0xFF past the image, the number at 0x0F00.
        std::vector<uint8_t> expected = image;
        expected.resize(0x1000, 0xFF);
        std::copy(numbers[i].begin(), numbers[i].end(), expected.begin() + 0x0F00);
        EXPECT_TRUE(FlashHolds(*targets[i], 0, expected)) << "target " << i;
        EXPECT_TRUE(Has(r.out, "COM" + std::to_string(kPort + i) + ": >>Serial number: " + std::to_string(1000 + i))) << Show(r);
    }
    r = Cli({"history", "--db", url, "--json"});
    auto rows = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(rows.is_array() && rows.size() == 4) << Show(r);
    std::vector<int64_t> got;
    for (const auto &row : rows) {
        got.push_back(row["serial_number"]);
        EXPECT_EQ(row["result"], row["port_name"] == "COM" + std::to_string(kPort + 3) ? "failed" : "ok") << row.dump();
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int64_t>{1000, 1001, 1002, 1003}));
    r = Cli({"history", "--db", url, "--serial-number", "1003"});
    EXPECT_TRUE(Has(r.out, "failed")) << r.out;

    // The next run continues above the highest number, the failed one included.
    AddTarget(kPort + 4);
    r = Cli({"program", hex, "--prm", Sample("demo.prm"), "--range", "block:0-0", "--serial-number", "0x0F00:4:bcd",
             "--db", url, "--port", "COM" + std::to_string(kPort + 4)});
    EXPECT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.out, ">>Serial number: 1004")) << Show(r);
}

INSTANTIATE_TEST_SUITE_P(Stores, SerialGang, ::testing::Values("sqlite", "postgresql"));

// Per-unit fields on a gang: a counter, a list row and a hook's value, each
// unit its own, at their places; the next run goes on; a used-up list stops
// the run before any device; a failing hook fails its unit alone.
TEST_F(RecordTest, FieldsGiveEachUnitItsOwnValues) {
    std::vector<uint8_t> image;
    const std::string hex = WriteImage("unit.hex", 0, 0x900, 11, &image);
    const std::string list = dir + "/macs.csv";
    std::ofstream(list) << "id,mac\r\n1,00:1A:2B:00:00:01\r\n2,00:1A:2B:00:00:02\r\n3,\r\n4,00-1A-2B-00-00-04\r\n5,00:1A:2B:00:00:05\r\n";
    const std::vector<std::string> fields = {
        "--field", "unit@0x0F00:4:be=counter:500", "--field", "mac@0x0F10:6:hex=list:" + list + ":mac", "--field",
        "key@0x0F20:4:hex=exec:sh -c 'printf %08X $((QUILLROM_FIELD_UNIT * 7))'"};
    const auto run = [&](int first, int count, const std::vector<std::string> &extra) {
        std::vector<std::string> args = {"program", hex, "--prm", Sample("demo.prm"), "--range", "block:0-0", "--db", Db()};
        args.insert(args.end(), fields.begin(), fields.end());
        args.insert(args.end(), extra.begin(), extra.end());
        for (int p = first; p < first + count; ++p) args.insert(args.end(), {"--port", "COM" + std::to_string(p)});
        return Cli(args);
    };
    const auto expect = [&](const quillsim::VirtualTarget &t, int64_t unit, int macLast) {
        std::vector<uint8_t> want = image;
        want.resize(0x1000, 0xFF);
        const int64_t key = unit * 7;
        for (int b = 0; b < 4; ++b) {
            want[0x0F00 + b] = static_cast<uint8_t>(unit >> (24 - 8 * b));
            want[0x0F20 + b] = static_cast<uint8_t>(key >> (24 - 8 * b));
        }
        const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x00, 0x00, static_cast<uint8_t>(macLast)};
        std::copy(mac, mac + 6, want.begin() + 0x0F10);
        return FlashHolds(t, 0, want);
    };
    for (int p = kPort; p < kPort + 3; ++p) AddTarget(p);
    CliRun r = run(kPort, 3, {});
    ASSERT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(expect(*targets[0], 500, 1));
    EXPECT_TRUE(expect(*targets[1], 501, 2));
    EXPECT_TRUE(expect(*targets[2], 502, 4)) << "the blank cell is passed over";
    EXPECT_TRUE(Has(r.out, "COM72: >>Field mac: 00:1A:2B:00:00:02")) << Show(r);
    r = Cli({"history", "--db", Db(), "--field", "mac=00-1A-2B-00-00-04", "--json"});
    auto rows = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(rows.is_array() && rows.size() == 1) << Show(r);
    EXPECT_EQ(rows[0]["port_name"], "COM73");

    // The next run goes on: the last row of the list, with a hook that fails.
    AddTarget(kPort + 3);
    r = run(kPort + 3, 1, {"--field", "cal@0x0F30:2:hex=exec:sh -c 'echo no calibrator >&2; exit 4'"});
    EXPECT_EQ(r.code, 1) << Show(r);
    EXPECT_TRUE(Has(r.err, "COM74: failed: field cal: sh exited with 4: no calibrator")) << Show(r);
    EXPECT_EQ(targets[3]->framesReceived(), 0u) << "a unit whose hook failed is not touched";
    r = Cli({"history", "--db", Db(), "--field", "unit=503", "--json"});
    rows = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(rows.is_array() && rows.size() == 1) << Show(r);
    EXPECT_EQ(rows[0]["result"], "failed") << "its values stay spent, recorded with the failure";

    // Every row is used: nothing is handed out and no device is touched.
    r = run(kPort, 1, {});
    EXPECT_EQ(r.code, 3) << Show(r);
    EXPECT_TRUE(Has(r.err, "list " + list + " exhausted after 4 units")) << Show(r);
    const uint64_t frames = targets[0]->framesReceived();
    struct Case {
        std::vector<std::string> args;
        const char *says;
    } refusals[] = {
        {{"--field", "wide@0x0F40:1=counter:300"}, "wide 300 is above 255"},
        {{"--field", "sn@0x0F40:8:ascii=scan"}, "it is for quillrom station"},
        {{"--field", "over@0x0F02:2=counter"}, "--field unit and --field over write the same bytes"},
        {{"--field", "far@0x1000:2=counter"}, "is not inside what --range programs"},
    };
    std::ofstream(list, std::ios::app) << "6,00:1A:2B:00:00:06\r\n";
    for (const Case &c : refusals) {
        r = run(kPort, 1, c.args);
        EXPECT_EQ(r.code, 2) << Show(r);
        EXPECT_TRUE(Has(r.err, c.says)) << Show(r);
    }
    EXPECT_EQ(targets[0]->framesReceived(), frames);
    r = run(kPort, 1, {"--field", "slow@0x0F40:2=exec:sleep 60", "--field-timeout", "0.5"});
    EXPECT_EQ(r.code, 1) << Show(r);
    EXPECT_TRUE(Has(r.err, "field slow: sleep gave no value within 0.5 s")) << Show(r);
    EXPECT_EQ(targets[0]->framesReceived(), frames);
}

TEST_F(RecordTest, SerialNumbersOutsideWhatIsProgrammedAreRefused) {
    AddTarget(kPort);
    const std::string hex = WriteImage("unit.hex", 0, 0x100, 1);
    const std::vector<std::string> on = {"--prm", Sample("demo.prm"), "--port", "COM" + std::to_string(kPort), "--db", Db()};
    struct Case {
        std::vector<std::string> args;
        const char *says;
    } cases[] = {
        {{"program", hex, "--serial-number", "0xFFFE:4"}, "is outside the device"},
        {{"program", hex, "--range", "block:0-0", "--serial-number", "0x1000:2"}, "is not inside what --range programs"},
        {{"program", hex, "--serial-number", "0x100:2:hex"}, "the format is le, be, bcd or ascii"},
        {{"program", hex, "--serial-number", "0x100:9"}, "LEN runs from 1 to 8"},
        {{"program", hex, "--serial-number", "0x100:2", "--no-record"}, "needs it"},
        {{"erase", "--serial-number", "0x100:2"}, "for program and auto"},
        {{"program", hex, "--serial-start", "5"}, "goes with --serial-number"},
        {{"program", hex, "--serial-number", "0x100:1", "--serial-start", "256"}, "serial number 256 is above 255"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), on.begin(), on.end());
        const CliRun r = Cli(args);
        EXPECT_EQ(r.code, 2) << Show(r);
        EXPECT_TRUE(Has(r.err, c.says)) << Show(r);
    }
    EXPECT_EQ(targets[0]->framesReceived(), 0u);

    // The last number one byte holds; the next run has no room for its
    // number and takes none, so a wider field goes on with it.
    const std::vector<std::string> numbered = {"program", hex, "--range", "block:0-0", "--serial-number", "0x100:1"};
    std::vector<std::string> args = numbered;
    args.insert(args.end(), {"--serial-start", "255"});
    args.insert(args.end(), on.begin(), on.end());
    CliRun r = Cli(args);
    ASSERT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.out, ">>Serial number: 255")) << Show(r);
    const uint64_t frames = targets[0]->framesReceived();
    args = numbered;
    args.insert(args.end(), on.begin(), on.end());
    r = Cli(args);
    EXPECT_EQ(r.code, 2) << Show(r);
    EXPECT_TRUE(Has(r.err, "serial number 256 is above 255")) << Show(r);
    EXPECT_EQ(targets[0]->framesReceived(), frames);
    args = numbered;
    args.back() = "0x100:2";
    args.insert(args.end(), on.begin(), on.end());
    r = Cli(args);
    ASSERT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.out, ">>Serial number: 256")) << Show(r);
}

TEST(SerialNumber, EachFormatAndWhatDoesNotFit) {
    using quillrecord::SerialFormat;
    struct Case {
        SerialFormat format;
        uint32_t length;
        int64_t number;
        std::vector<uint8_t> bytes;  // empty: does not fit
    } cases[] = {
        {SerialFormat::LittleEndian, 4, 0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {SerialFormat::BigEndian, 3, 0x123456, {0x12, 0x34, 0x56}},
        {SerialFormat::BigEndian, 2, 0x10000, {}},
        {SerialFormat::Bcd, 3, 12345, {0x01, 0x23, 0x45}},
        {SerialFormat::Bcd, 2, 12345, {}},
        {SerialFormat::Ascii, 6, 4217, {'0', '0', '4', '2', '1', '7'}},
        {SerialFormat::Ascii, 3, 4217, {}},
        {SerialFormat::LittleEndian, 8, INT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const Case &c : cases) {
        quillrecord::SerialSpec spec;
        spec.format = c.format;
        spec.length = c.length;
        std::vector<uint8_t> bytes;
        const bool fits = quillrecord::EncodeSerial(spec, c.number, &bytes);
        EXPECT_EQ(fits, !c.bytes.empty()) << c.number;
        if (fits) {
            EXPECT_EQ(bytes, c.bytes) << c.number;
        }
    }
    // The store hands out numbers up to the capacity: each must fit, the next must not.
    for (SerialFormat format : {SerialFormat::LittleEndian, SerialFormat::BigEndian, SerialFormat::Bcd, SerialFormat::Ascii}) {
        const bool binary = format == SerialFormat::LittleEndian || format == SerialFormat::BigEndian;
        for (uint32_t length = 1; length <= (binary ? 8u : 16u); ++length) {
            quillrecord::SerialSpec spec;
            spec.format = format;
            spec.length = length;
            const int64_t most = quillrecord::SerialCapacity(spec);
            std::vector<uint8_t> bytes;
            EXPECT_TRUE(quillrecord::EncodeSerial(spec, most, &bytes)) << length << " bytes, " << most;
            if (most < INT64_MAX) {
                EXPECT_FALSE(quillrecord::EncodeSerial(spec, most + 1, &bytes)) << length << " bytes";
            }
        }
    }
    quillrecord::SerialSpec spec;
    std::string why;
    ASSERT_TRUE(quillrecord::ParseSerialSpec("0x7FF0:4:be", &spec, &why)) << why;
    EXPECT_EQ(spec.address, 0x7FF0u);
    EXPECT_EQ(spec.length, 4u);
    EXPECT_EQ(spec.format, SerialFormat::BigEndian);
    ASSERT_TRUE(quillrecord::ParseSerialSpec("256:2", &spec, &why)) << why;
    EXPECT_EQ(spec.format, SerialFormat::LittleEndian);
    for (const char *bad : {"", "0x10", "0x10:", ":4", "-1:4", "0x10:0", "0x10:4:le:x", "zz:4"})
        EXPECT_FALSE(quillrecord::ParseSerialSpec(bad, &spec, &why)) << bad;
}

// A field is parsed whole or refused with the reason; a value takes its
// place's bytes or is refused before anything is written.
TEST(UnitField, SpecsAndValues) {
    using quillrecord::FieldSource;
    struct Spec {
        const char *text;
        const char *refused;  // in the reason; null: parses
        FieldSource source = FieldSource::kCounter;
    } specs[] = {
        {"serial@0x7FF0:4:le=counter", nullptr},
        {"serial@0x7FF0:4=counter:1000:10", nullptr},
        {"mac@0x7F00:6:hex=list:/data/macs.csv:mac", nullptr, FieldSource::kList},
        {"mac@0x7F00:6:hex=list:C:\\lists\\macs.csv", nullptr, FieldSource::kList},
        {"sn@0x7E00:8:ascii=scan:^[0-9]{8}$", nullptr, FieldSource::kScan},
        {"key@0x7D00:16:hex=exec:/usr/bin/keygen --unit \"a b\"", nullptr, FieldSource::kExec},
        {"1st@0x10:2=counter", "a name is letters"},
        {"serial0x10:2=counter", "wants NAME@ADDR:LEN"},
        {"serial@0x10:2", "wants NAME@ADDR:LEN"},
        {"serial@0x10:9:le=counter", "LEN runs from 1 to 8 bytes for le"},
        {"serial@0x10:2:hexa=counter", "the format is le, be, bcd, ascii or hex"},
        {"serial@0x10:2=counter:1:0", "STEP is 1 or more"},
        {"serial@0x10:2=clock", "the source is counter"},
        {"sn@0x10:2=scan:([", "not a regular expression"},
        {"key@0x10:2:hex=exec:", "names a command"},
        {"key@0x10:2:hex=exec:gen 'x", "quote that is not closed"},
    };
    for (const Spec &c : specs) {
        quillrecord::FieldSpec f;
        std::string why;
        const bool ok = quillrecord::ParseFieldSpec(c.text, &f, &why);
        EXPECT_EQ(ok, c.refused == nullptr) << c.text << ": " << why;
        if (ok) {
            EXPECT_EQ(f.source, c.source) << c.text;
        } else {
            EXPECT_NE(why.find(c.refused), std::string::npos) << c.text << ": " << why;
        }
    }
    quillrecord::FieldSpec f;
    std::string why;
    ASSERT_TRUE(quillrecord::ParseFieldSpec("mac@0x7F00:6:hex=list:/data/macs.csv:mac", &f, &why));
    EXPECT_EQ(f.listPath, "/data/macs.csv");
    EXPECT_EQ(f.column, "mac");
    ASSERT_TRUE(quillrecord::ParseFieldSpec("serial@0x7FF0:4=counter:1000:10", &f, &why));
    EXPECT_EQ(f.start, 1000);
    EXPECT_EQ(f.step, 10);
    ASSERT_TRUE(quillrecord::ParseFieldSpec("key@0x7D00:16:hex=exec:/usr/bin/keygen --unit \"a b\"", &f, &why));
    EXPECT_EQ(f.argv, (std::vector<std::string>{"/usr/bin/keygen", "--unit", "a b"}));

    struct Value {
        const char *spec, *value;
        std::vector<uint8_t> bytes;  // empty: refused
    } values[] = {
        {"mac@0:6:hex=scan", "00:1A:2b:3C:4d:5E", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
        {"mac@0:6:hex=scan", "00-1A-2B-3C-4D-5E", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
        {"mac@0:6:hex=scan", "001A2B3C4D5E", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
        {"mac@0:6:hex=scan", "001A2B3C4D", {}},       // five bytes
        {"mac@0:6:hex=scan", "001A2B3C4D5E6F", {}},   // seven
        {"mac@0:6:hex=scan", "00:1A:2B:3C:4D:5G", {}},
        {"mac@0:6:hex=scan", "0:01A:2B:3C:4D:5E", {}},
        {"sn@0:4:ascii=scan", "0042", {'0', '0', '4', '2'}},
        {"sn@0:4:ascii=scan", "12345", {}},
        {"sn@0:2:be=scan", "0x1234", {0x12, 0x34}},
        {"sn@0:2:be=scan", "-1", {}},
        {"sn@0:2:be=scan", "12ab", {}},
        {"n@0:3:hex=counter", "258", {0x00, 0x01, 0x02}},  // a number in hex is its bytes, most significant first
    };
    for (const Value &v : values) {
        ASSERT_TRUE(quillrecord::ParseFieldSpec(v.spec, &f, &why)) << why;
        std::vector<uint8_t> bytes;
        const bool ok = quillrecord::EncodeFieldValue(f, v.value, &bytes, &why);
        EXPECT_EQ(ok, !v.bytes.empty()) << v.spec << " " << v.value << ": " << why;
        if (ok) {
            EXPECT_EQ(bytes, v.bytes) << v.value;
        }
    }
}

// A list file's column by name or number, quoted cells, both line ends.
TEST(UnitField, ListColumns) {
    const std::string path = (std::filesystem::temp_directory_path() / ("quillrom-list-" + std::to_string(::getpid()) + ".csv")).string();
    std::ofstream(path, std::ios::binary) << "unit, mac ,note\r\n1,00:00:00:00:00:01,plain\n2,,\"blank, mac\"\r\n"
                                             "3,\"00:00:00:00:00:03\",\"say \"\"hi\"\"\"\n\n4,00:00:00:00:00:04";
    struct Case {
        const char *column;
        std::vector<std::string> values;
        const char *refused;
    } cases[] = {
        {"", {"1", "2", "3", "4"}, nullptr},
        {"mac", {"00:00:00:00:00:01", "", "00:00:00:00:00:03", "00:00:00:00:00:04"}, nullptr},
        {"3", {"plain", "blank, mac", "say \"hi\"", ""}, nullptr},
        {"4", {}, "no column 4 (it has 3)"},
        {"serial", {}, "no column named serial"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> values;
        std::string why;
        const bool ok = quillrecord::ReadListColumn(path, c.column, &values, &why);
        EXPECT_EQ(ok, c.refused == nullptr) << c.column << ": " << why;
        if (ok) {
            EXPECT_EQ(values, c.values) << c.column;
        } else {
            EXPECT_NE(why.find(c.refused), std::string::npos) << why;
        }
    }
    std::ofstream(path, std::ios::binary) << "mac\n\"00:01";
    std::vector<std::string> values;
    std::string why;
    EXPECT_FALSE(quillrecord::ReadListColumn(path, "", &values, &why));
    EXPECT_NE(why.find("not closed"), std::string::npos) << why;
    std::remove(path.c_str());
    EXPECT_FALSE(quillrecord::ReadListColumn(path, "", &values, &why));
}

TEST(HistoryText, CsvFieldsQuoteWhatNeedsIt) {
    EXPECT_EQ(quillcli::CsvField("plain"), "plain");
    EXPECT_EQ(quillcli::CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(quillcli::CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(quillcli::CsvField("two\nlines"), "\"two\nlines\"");
}

}  // namespace

// Station mode: each Enter runs the command on every port and shows a verdict
// per unit with its number; q ends the loop with the counts.
TEST_F(RecordTest, StationRunsARoundPerEnterAndEndsWithASummary) {
    const std::string hex = WriteImage("unit.hex", 0, 0x900, 7);
    AddTarget(kPort);
    ASSERT_TRUE(AddTarget(kPort + 1).addFault("write-fail:byte=300"));  // the first unit on COM72 only
    const std::vector<std::string> args = {"station", "auto", hex, "--prm", Sample("demo.prm"), "--auto-range",
                                           "--serial-number", "0x0F00:2", "--db", Db(), "--quiet",
                                           "--port", "COM" + std::to_string(kPort), "--port", "COM" + std::to_string(kPort + 1)};
    CliRun r = Cli(args, "\n\nq\n");
    EXPECT_EQ(r.code, 1) << Show(r);
    EXPECT_TRUE(Has(r.out, "COM71: PASS, serial 1\n")) << Show(r);
    EXPECT_TRUE(Has(r.out, "COM72: FAIL, serial 2: ERROR: Flash write error!\n")) << Show(r);
    EXPECT_TRUE(Has(r.out, "COM71: PASS, serial 3\n")) << Show(r);
    EXPECT_TRUE(Has(r.out, "Passed 3, failed 1 of 4 units (yield 75.0 %)")) << Show(r);
    EXPECT_TRUE(Has(r.out, "Station summary: 2 rounds, 4 units: 3 passed, 1 failed, yield 75.0 %")) << Show(r);
    const auto rows = nlohmann::json::parse(Cli({"history", "--db", Db(), "--json"}).out, nullptr, false);
    ASSERT_TRUE(rows.is_array() && rows.size() == 4u);
    for (const auto &row : rows) {
        const int64_t n = row["serial_number"];
        EXPECT_EQ(row["result"], n == 2 ? "failed" : "ok") << row.dump();  // the fault strikes once
        EXPECT_EQ(row["port_name"], n % 2 == 0 ? "COM72" : "COM71") << row.dump();
        EXPECT_EQ(row["command"], "auto");
    }

    // The end of the input ends the loop as q does; nothing run is a pass.
    r = Cli(args, "");
    EXPECT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.out, "Station summary: 0 rounds, 0 units")) << Show(r);

    // Mistakes show before the first round, not after an Enter.
    struct Case {
        std::vector<std::string> args;
        const char *says;
    } cases[] = {
        {{"station", "program", "--prm", Sample("demo.prm"), "--port", "COM71"}, "needs the load file"},
        {{"station", "erase", hex, "--prm", Sample("demo.prm"), "--port", "COM71"}, "takes no load file"},
        {{"station", "flash", hex, "--prm", Sample("demo.prm"), "--port", "COM71"}, "not 'flash'"},
        {{"station", "auto", hex, "--prm", Sample("demo.prm"), "--port", "COM71", "--json"}, "--json"},
        {{"station", "auto", hex, "--prm", Sample("demo.prm"), "--port", "tty9"}, "neither COM<n>"},
        {{"station", "auto", hex, "--prm", Sample("demo.prm"), "--port", "COM71", "--range", "block:9-1"}, "above the last"},
    };
    for (const Case &c : cases) {
        r = Cli(c.args, "\n");
        EXPECT_EQ(r.code, 2) << Show(r);
        EXPECT_TRUE(Has(r.err, c.says)) << Show(r);
        EXPECT_FALSE(Has(r.out, "Station:")) << Show(r);
    }
    // A record that cannot be opened stops the station at its first round.
    r = Cli({"station", "auto", hex, "--prm", Sample("demo.prm"), "--port", "COM71", "--db", "sqlite:" + hex + "/x.db"},
            "\n\n");
    EXPECT_EQ(r.code, 3) << Show(r);
    EXPECT_TRUE(Has(r.err, "the station stops")) << Show(r);
}

// The real program with its input and output on descriptors of the test's
// (a pipe, a pseudo-terminal), read until a text has shown.
class Program {
public:
    Program(std::vector<std::string> args, int in, int out) {
        args.insert(args.begin(), QUILLROM_CLI_BINARY);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in, 0);
        posix_spawn_file_actions_adddup2(&actions, out, 1);
        posix_spawn_file_actions_adddup2(&actions, out, 2);
        std::vector<char *> argv = SpawnArgv(args);
        ok_ = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    bool ok() const { return ok_; }
    // Reads `from` until `text` has appeared `times` times in all it printed.
    bool WaitFor(int from, const std::string &text, int times = 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        for (;;) {
            int seen = 0;
            for (size_t at = printed.find(text); at != std::string::npos; at = printed.find(text, at + 1)) ++seen;
            if (seen >= times) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{from, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return false;
            char buf[1024];
            const ssize_t n = ::read(from, buf, sizeof buf);
            if (n <= 0) return false;
            printed.append(buf, static_cast<size_t>(n));
        }
    }
    int Exit() {
        int status = -1;
        if (!ok_ || ::waitpid(pid_, &status, 0) != pid_) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string printed;

private:
    pid_t pid_ = 0;
    bool ok_ = false;
};

// --on-plug: a unit is programmed when its port appears, and the next one
// only after the port went away and came back. The loop reads the terminal,
// so the real program runs with a pipe as its input.
TEST_F(RecordTest, StationOnPlugWaitsForEachPortToComeBack) {
    const std::string hex = WriteImage("unit.hex", 0, 0x900, 8);
    quillsim::VirtualTarget &sim = AddTarget(kPort);
    const std::string alias = dir + "/COM" + std::to_string(kPort), parked = dir + "/parked";
    int in[2], out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    Program station({"station", "auto", hex, "--prm", Sample("demo.prm"), "--auto-range", "--on-plug", "--db", Db(),
                     "--port", "COM" + std::to_string(kPort)},
                    in[0], out[1]);
    ::close(in[0]);
    ::close(out[1]);
    ASSERT_TRUE(station.ok());
    std::string &printed = station.printed;
    EXPECT_TRUE(station.WaitFor(out[0], "COM71: PASS")) << printed;  // there at the start: the first unit
    EXPECT_TRUE(station.WaitFor(out[0], "Waiting for a new unit on COM71")) << printed;
    const uint64_t frames = sim.framesReceived();
    std::filesystem::rename(alias, parked);  // unplugged ...
    EXPECT_TRUE(station.WaitFor(out[0], "COM71: unit removed")) << printed;
    EXPECT_EQ(sim.framesReceived(), frames) << "the same unit is not programmed twice";
    std::filesystem::rename(parked, alias);  // ... and the next one plugged in
    EXPECT_TRUE(station.WaitFor(out[0], "COM71: PASS", 2)) << printed;
    EXPECT_TRUE(station.WaitFor(out[0], "Waiting for a new unit on COM71", 2)) << printed;
    ASSERT_EQ(::write(in[1], "q\n", 2), 2);
    EXPECT_TRUE(station.WaitFor(out[0], "Station summary: 2 rounds, 2 units: 2 passed, 0 failed")) << printed;
    ::close(in[1]);
    ::close(out[0]);
    EXPECT_EQ(station.Exit(), 0) << printed;
    EXPECT_FALSE(Has(printed, ">>COMMAND")) << "a verdict per unit, not its log";

    // Lines from a pipe, as from `printf '\nq\n' | quillrom station ...`: one unit, then the end.
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(::write(in[1], "\nq\n", 3), 3);
    ::close(in[1]);
    Program piped({"station", "auto", hex, "--prm", Sample("demo.prm"), "--auto-range", "--verbose", "--db", Db(),
                   "--port", "COM" + std::to_string(kPort)},
                  in[0], out[1]);
    ::close(in[0]);
    ::close(out[1]);
    EXPECT_TRUE(piped.WaitFor(out[0], "Station summary: 1 round, 1 unit: 1 passed")) << piped.printed;
    EXPECT_TRUE(Has(piped.printed, ">>COMMAND: AutoProcedure")) << "--verbose shows the log: " << piped.printed;
    ::close(out[0]);
    EXPECT_EQ(piped.Exit(), 0) << piped.printed;
}

// A scanned field on a terminal: each unit's value is asked for, a value
// that does not match or was used before is refused at once, and each
// accepted one lands in its unit's flash.
TEST_F(RecordTest, StationAsksForEachScanAndRefusesARepeat) {
    const std::string hex = WriteImage("unit.hex", 0, 0x900, 12);
    quillsim::VirtualTarget &sim = AddTarget(kPort);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    Program station({"station", "auto", hex, "--prm", Sample("demo.prm"), "--range", "block:0-0", "--db", Db(),
                     "--field", "sn@0x0F00:8:ascii=scan:[0-9]{8}", "--port", "COM" + std::to_string(kPort)},
                    terminal, terminal);
    ::close(terminal);
    ASSERT_TRUE(station.ok());
    const auto type = [&](const std::string &line) { return ::write(master, (line + "\r").data(), line.size() + 1) > 0; };
    const std::string prompt = "COM71: scan sn (q ends): ";
    EXPECT_TRUE(station.WaitFor(master, prompt)) << station.printed;
    ASSERT_TRUE(type("2026121"));
    EXPECT_TRUE(station.WaitFor(master, "COM71: refused: sn '2026121' does not match [0-9]{8}")) << station.printed;
    ASSERT_TRUE(type("20261211"));
    EXPECT_TRUE(station.WaitFor(master, "COM71: PASS, sn 20261211")) << station.printed;
    EXPECT_TRUE(station.WaitFor(master, prompt, 3)) << station.printed;
    ASSERT_TRUE(type("20261211"));
    EXPECT_TRUE(station.WaitFor(master, "refused: sn 20261211 was used before")) << station.printed;
    ASSERT_TRUE(type("20261212"));
    EXPECT_TRUE(station.WaitFor(master, "COM71: PASS, sn 20261212")) << station.printed;
    EXPECT_TRUE(station.WaitFor(master, prompt, 5)) << station.printed;
    ASSERT_TRUE(type("q"));
    EXPECT_TRUE(station.WaitFor(master, "Station summary: 2 rounds, 2 units: 2 passed, 0 failed, yield 100.0 %"))
        << station.printed;
    EXPECT_EQ(station.Exit(), 0) << station.printed;
    ::close(master);
    const std::vector<uint8_t> text = {'2', '0', '2', '6', '1', '2', '1', '2'};
    EXPECT_TRUE(FlashHolds(sim, 0x0F00, text));
}

// A signed job on the line: the station runs it as made, and refuses it
// before any device when a file, the job itself or the key is not the one
// signed, or when the command line tries to change what the job fixes.
TEST_F(RecordTest, StationRunsOnlyTheSignedJobAsMade) {
    const std::string hex = WriteImage("unit.hex", 0, 0x900, 13);
    quillsim::VirtualTarget &sim = AddTarget(kPort);
    const std::string job = dir + "/line.qjob", key = dir + "/eng", other = dir + "/other";
    ASSERT_EQ(Cli({"job", "keygen", key}).code, 0);
    ASSERT_EQ(Cli({"job", "keygen", other}).code, 0);
    EXPECT_EQ(std::filesystem::status(key + ".key").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(Cli({"job", "keygen", key}).code, 3) << "a secret key is never overwritten";
    CliRun r = Cli({"job", "create", job, "auto", hex, "--prm", Sample("demo.prm"), "--auto-range", "--verify",
                    "--field", "unit@0x0F00:2=counter:40", "--sign", key + ".key"});
    ASSERT_EQ(r.code, 0) << Show(r);
    r = Cli({"job", "check", job, "--key", key + ".pub"});
    EXPECT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.out, "Options:    --auto-range --verify")) << Show(r);
    const std::vector<std::string> run = {"station", "--job", job, "--key", key + ".pub", "--db", Db(), "--port",
                                          "COM" + std::to_string(kPort)};
    r = Cli(run, "\nq\n");
    ASSERT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.out, "COM71: PASS, unit 40")) << Show(r);
    auto rows = nlohmann::json::parse(Cli({"history", "--db", Db(), "--json"}).out, nullptr, false);
    ASSERT_TRUE(rows.is_array() && rows.size() == 1u);
    std::string jobDigest, keyId;
    {
        std::ifstream in(job);
        const auto doc = nlohmann::json::parse(in);
        keyId = doc["signature"]["key_id"];
        std::ifstream bytes(job, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(bytes)), std::istreambuf_iterator<char>());
        jobDigest = Sha256Hex(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    }
    EXPECT_EQ(rows[0]["job_sha256"], jobDigest);
    EXPECT_EQ(rows[0]["job_signer"], keyId);
    const uint64_t frames = sim.framesReceived();

    const std::string original = [&] {
        std::ifstream in(job, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();
    struct Case {
        const char *what;
        std::function<void()> change;
        std::vector<std::string> args;
        int code;
        const char *says;
    } cases[] = {
        {"tampered image", [&] { WriteImage("unit.hex", 0, 0x900, 14); }, run, 3, "unit.hex has changed since the job was made"},
        {"tampered job", [&] {
             std::string text = original;
             text.replace(text.find("--verify"), 8, "--securi");
             std::ofstream(job, std::ios::binary) << text;
         }, run, 3, "the signature does not match key"},
        {"wrong key", nullptr, {"station", "--job", job, "--key", other + ".pub", "--port", "COM71"}, 3,
         "the signature does not match key"},
        {"no key", nullptr, {"station", "--job", job, "--port", "COM71"}, 2, "is signed: give --key"},
        {"extra option", nullptr, {"station", "--job", job, "--key", key + ".pub", "--port", "COM71", "--range", "block:0-0"}, 2,
         "--range is not taken with --job"},
        {"extra command", nullptr, {"station", "erase", "--job", job, "--key", key + ".pub", "--port", "COM71"}, 2,
         "erase is not taken with --job"},
    };
    for (const Case &c : cases) {
        std::ofstream(job, std::ios::binary) << original;
        WriteImage("unit.hex", 0, 0x900, 13);
        if (c.change) c.change();
        r = Cli(c.args, "\nq\n");
        EXPECT_EQ(r.code, c.code) << c.what << "\n" << Show(r);
        EXPECT_TRUE(Has(r.err, c.says)) << c.what << "\n" << Show(r);
        std::vector<std::string> check = {"job", "check", job, "--key", key + ".pub"};
        if (c.code == 3 && std::string(c.what) != "wrong key") EXPECT_EQ(Cli(check).code, 3) << c.what;
    }
    EXPECT_EQ(sim.framesReceived(), frames) << "nothing was programmed";
}

#ifdef QUILLROM_TEST_HAVE_PG
class PgRecordTest : public RecordTest {
protected:
    void SetUp() override {
        RecordTest::SetUp();
        server_ = std::make_unique<pgtest::PgServer>();
        if (!server_->missing().empty()) GTEST_SKIP() << server_->missing();
        ASSERT_EQ(server_->error(), "");
    }
    std::unique_ptr<pgtest::PgServer> server_;
};

// Two quillrom processes, each with a gang, take their numbers from one
// server at the same moment.
TEST_F(PgRecordTest, TwoStationsAtOnceNeverShareANumberOrAListRow) {
    const std::string hex = WriteImage("unit.hex", 0, 0x900, 9);
    const std::string list = dir + "/keys.csv";
    std::ofstream(list) << "key\n1111\n2222\n3333\n4444\n5555\n";
    std::vector<pid_t> pids;
    for (int station = 0; station < 2; ++station) {
        std::vector<std::string> args = {QUILLROM_CLI_BINARY, "program", hex, "--prm", Sample("demo.prm"),
                                         "--range", "block:0-0", "--serial-number", "0x0F00:4", "--quiet",
                                         "--db", server_->Url(), "--station", "st" + std::to_string(station),
                                         "--field", "key@0x0F10:2:hex=list:" + list};
        for (int k = 0; k < 2; ++k) {
            const int port = kPort + station * 2 + k;
            AddTarget(port);
            args.insert(args.end(), {"--port", "COM" + std::to_string(port)});
        }
        std::vector<char *> argv = SpawnArgv(args);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
        pids.push_back(pid);
    }
    for (const pid_t pid : pids) EXPECT_EQ(pgtest::WaitExit(pid, 300), 0);
    std::set<int64_t> numbers;
    for (int i = 0; i < 4; ++i) {
        const std::vector<uint8_t> flash = targets[i]->flash();
        numbers.insert(flash[0x0F00] | flash[0x0F01] << 8 | flash[0x0F02] << 16 | int64_t{flash[0x0F03]} << 24);
    }
    EXPECT_EQ(numbers, (std::set<int64_t>{1, 2, 3, 4})) << "each unit its own number";
    std::set<int> keys;
    for (int i = 0; i < 4; ++i) keys.insert(targets[i]->flash()[0x0F10] << 8 | targets[i]->flash()[0x0F11]);
    EXPECT_EQ(keys, (std::set<int>{0x1111, 0x2222, 0x3333, 0x4444})) << "each unit its own row";
    EXPECT_EQ(server_->Value("SELECT count(DISTINCT serial_number) FROM runs WHERE result = 'ok'"), "4");
}

// The server goes away while the target is being programmed: the command
// ends with 3 and the database holds no part of the run.
TEST_F(PgRecordTest, ServerStoppedMidRunEndsTheCommandWithNoHalfRow) {
    quillsim::VirtualTarget &sim = AddTarget(kPort);
    sim.setPacingBaud(115200);  // seconds of programming: time enough to stop the server
    const std::string hex = WriteImage("unit.hex", 0, 0x2000, 10);
    CliRun r{};
    const uint64_t before = sim.framesReceived();
    std::thread run([&] {
        r = Cli({"program", hex, "--prm", Sample("demo.prm"), "--range", "block:0-1", "--serial-number", "0x100:2",
                 "--db", server_->Url(), "--port", "COM" + std::to_string(kPort)});
    });
    const bool programming = sim.waitForFrames(before + 6, std::chrono::seconds(60));
    std::string error;
    const bool stopped = server_->Stop("immediate", &error);
    run.join();
    ASSERT_TRUE(programming && stopped) << error << Show(r);
    EXPECT_EQ(r.code, 3) << Show(r);
    EXPECT_TRUE(Has(r.err, "COM71: the run is not recorded: ")) << Show(r);
    ASSERT_TRUE(server_->Start(&error)) << error;
    EXPECT_EQ(server_->Value("SELECT count(*) FROM runs"), "0");
    EXPECT_EQ(server_->Value("SELECT state FROM serials WHERE number = 1"), "allocated") << "the number stays spent";
}
#endif
