// `quillrom history`: the production record, filtered, as a table, JSON or
// CSV, or summed up per day and station.
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "json_text.h"
#include "history_text.h"
#include "record/record_store.h"

namespace quillcli {

void AddHistoryCommand(CLI::App &app, CliContext &ctx) {
    auto *cmd = app.add_subcommand("history", "Show the record of device commands (one row per target per command)");
    struct Args {
        std::string db;
        HistoryFilter filter;
        bool json = false, csv = false, summary = false;
        std::string field;
    };
    auto a = std::make_shared<Args>();
    cmd->add_option("--db", a->db, "Record database: sqlite:PATH or postgresql://... (default: the one commands write)");
    cmd->add_option("--since", a->filter.since, "Runs started at or after this UTC time (e.g. 2026-12-09 or 2026-12-09T10:00)");
    cmd->add_option("--until", a->filter.until, "Runs started up to the end of this UTC time (2026-12-09: the whole day)");
    cmd->add_option("--station", a->filter.station, "Runs of this station");
    cmd->add_option("--result", a->filter.result, "Runs with this result: ok, failed, port, interrupted")
        ->check(CLI::IsMember({"ok", "failed", "port", "interrupted"}));
    cmd->add_option("--serial-number", a->filter.serialNumber, "Runs that programmed this serial number");
    cmd->add_option("--image-checksum", a->filter.imageChecksum, "Runs of the image with this checksum (hex)");
    cmd->add_option("--field", a->field, "Runs of the unit that got this field value (NAME=VALUE, e.g. mac=00:1A:2B:3C:4D:5E)");
    cmd->add_option("--limit", a->filter.limit, "Only the newest this many rows (still shown oldest first)");
    auto *json = cmd->add_flag("--json", a->json, "Print JSON");
    auto *csv = cmd->add_flag("--csv", a->csv, "Print CSV (RFC 4180)");
    cmd->add_flag("--summary", a->summary, "Counts and yield per day and station");
    json->excludes(csv);
    cmd->get_option("--limit")->check(CLI::PositiveNumber);
    cmd->get_option("--serial-number")->check(CLI::NonNegativeNumber);
    cmd->callback([&ctx, a] {
        // A time that is not one would match nothing and look like an empty record.
        for (std::string *t : {&a->filter.since, &a->filter.until}) {
            if (t->empty() || TimePrefix(*t, t)) continue;
            *ctx.err << "quillrom: '" << *t
                     << "' is not a UTC time: give 2026-12-09, 2026-12-09T10:00 or a part of 2026-12-09T10:21:27.123Z\n";
            ctx.exitCode = kExitUsage;
            return;
        }
        if (!a->field.empty()) {
            const size_t eq = a->field.find('=');
            if (eq == std::string::npos || eq == 0) {
                *ctx.err << "quillrom: --field wants NAME=VALUE, not '" << a->field << "'\n";
                ctx.exitCode = kExitUsage;
                return;
            }
            a->filter.fieldName = a->field.substr(0, eq);
            a->filter.fieldValue = a->field.substr(eq + 1);
        }
        const std::string url = a->db.empty() ? quillrecord::DefaultRecordUrl() : a->db;
        std::string why;
        std::unique_ptr<quillrecord::RecordStore> store = url.empty() ? nullptr : quillrecord::OpenRecordStore(url, &why);
        if (!store) {
            *ctx.err << "quillrom: cannot read the record: " << (url.empty() ? "no database: give --db" : why) << '\n';
            ctx.exitCode = kExitIo;
            return;
        }
        std::vector<RunRow> rows;
        if (!store->Query(a->filter, &rows, &why)) {
            *ctx.err << "quillrom: " << why << '\n';
            ctx.exitCode = kExitIo;
            return;
        }
        if (a->summary) {
            const std::vector<SummaryLine> lines = Summarize(rows);
            if (a->json) *ctx.out << SummaryJson(lines) << '\n';
            else if (a->csv) *ctx.out << SummaryCsv(lines);
            else *ctx.out << SummaryTable(lines);
            return;
        }
        if (a->json) *ctx.out << HistoryJson(rows) << '\n';
        else if (a->csv) *ctx.out << HistoryCsv(rows);
        else *ctx.out << HistoryTable(rows);
    });
}

}  // namespace quillcli
