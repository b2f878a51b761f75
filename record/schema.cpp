#include "record/schema.h"

#include "record/columns.h"

namespace quillrecord {
namespace {

// A column added to a table with rows needs a value for them.
std::string ColumnDefinition(const Column &c, bool added = false) {
    std::string d = std::string(c.name) + " " + SqlTypeName(c.type);
    if (c.nullable) return d;
    d += " NOT NULL";
    if (added) d += IsNumber(c) ? " DEFAULT 0" : " DEFAULT ''";
    return d;
}

}  // namespace

std::string RunColumnList() {
    std::string list;
    for (size_t i = 0; i < RunColumnCount(); ++i) list += (i ? ", " : "") + std::string(RunColumns()[i].name);
    return list;
}

std::vector<std::string> Migration(int version, const std::string &idType) {
    std::vector<std::string> out;
    if (version == 1) {
        // `serials` holds every number ever handed out: its state goes from
        // 'allocated' to the result of the run that used it, and a number is
        // never deleted, so the next one is always above the highest.
        std::string runs = "CREATE TABLE runs (id " + idType;
        for (size_t i = 0; i < RunColumnCount(); ++i)
            if (RunColumns()[i].since == 1) runs += ", " + ColumnDefinition(RunColumns()[i]);
        out = {
            "CREATE TABLE schema_version (version INTEGER NOT NULL)",
            runs + ")",
            "CREATE INDEX runs_started ON runs (started_utc)",
            "CREATE INDEX runs_serial ON runs (serial_number)",
            "CREATE TABLE serials (number BIGINT PRIMARY KEY, station TEXT NOT NULL, allocated_utc TEXT NOT NULL,"
            " state TEXT NOT NULL, run_id BIGINT)",
            "INSERT INTO schema_version (version) VALUES (1)",
        };
        return out;
    }
    // Columns a later version adds come in as ALTER TABLE; other changes of
    // that version follow them here.
    for (size_t i = 0; i < RunColumnCount(); ++i)
        if (RunColumns()[i].since == version) out.push_back("ALTER TABLE runs ADD COLUMN " + ColumnDefinition(RunColumns()[i], true));
    if (version == 3) {
        // Every per-unit value ever handed out, as serials keeps numbers:
        // 'allocated', then the result of the run that used it. (name, value)
        // is unique, so no value reaches two units.
        out.push_back("CREATE TABLE unit_fields (id " + idType +
                      ", name TEXT NOT NULL, value TEXT NOT NULL, source TEXT NOT NULL, number BIGINT,"
                      " station TEXT NOT NULL, allocated_utc TEXT NOT NULL, state TEXT NOT NULL, run_id BIGINT,"
                      " UNIQUE (name, value))");
        out.push_back("CREATE INDEX unit_fields_source ON unit_fields (name, source, number)");
        out.push_back("CREATE INDEX unit_fields_run ON unit_fields (run_id)");
    }
    out.push_back("UPDATE schema_version SET version = " + std::to_string(version));
    return out;
}

}  // namespace quillrecord
