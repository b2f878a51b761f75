// The tables both record stores keep, by version. Each migration brings the
// schema from the version before it to its own; a store applies those above
// the version it finds, each in one transaction with the version update.
#pragma once
#include <string>
#include <vector>

namespace quillrecord {

// The schema this program reads and writes.
constexpr int kSchemaVersion = 3;

// The statements that bring a database from `version - 1` to `version`
// (1: from empty), with `idType` for the runs' id column: SQLite's
// "INTEGER PRIMARY KEY AUTOINCREMENT", PostgreSQL's "BIGSERIAL PRIMARY KEY".
std::vector<std::string> Migration(int version, const std::string &idType);

// "station, operator, ..." in the order of RunColumns().
std::string RunColumnList();

}  // namespace quillrecord
