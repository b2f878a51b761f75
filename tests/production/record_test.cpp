// Every device command leaves one row per target: what ran, where, on what,
// and how it ended; `history` reads them back as a table, JSON and CSV.
#include <nlohmann/json.hpp>

#include "cli/cli_fixture.h"
#include "production/history_text.h"
#include "quillctl.h"

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
        EXPECT_EQ(row["image_checksum"].get<std::string>().size(), 4u);
        EXPECT_FALSE(row["prm_checksum"].get<std::string>().empty());
        EXPECT_GT(row["bytes_programmed"].get<int64_t>(), failing ? -1 : 0);
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
    r = Cli({"history", "--db", Db(), "--csv"});
    const auto csv = ParseCsv(r.out);
    ASSERT_EQ(csv.size(), 4u) << r.out;
    EXPECT_EQ(csv[0][0], "id");
    for (size_t i = 1; i < csv.size(); ++i) {
        ASSERT_EQ(csv[i].size(), csv[0].size()) << "row " << i;
        EXPECT_EQ(csv[i][2], "Ana \"QA\", night");
        const auto &log = csv[i][csv[0].size() - 1];
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
}

TEST(HistoryText, CsvFieldsQuoteWhatNeedsIt) {
    EXPECT_EQ(quillcli::CsvField("plain"), "plain");
    EXPECT_EQ(quillcli::CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(quillcli::CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(quillcli::CsvField("two\nlines"), "\"two\nlines\"");
}

}  // namespace
