// Pieces both record stores share: the row as columns and back, times.
#pragma once
#include <string>
#include <vector>

#include "production/record_store.h"

namespace quillcli {

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to);
// "2026-12-09T10:21:27.123Z"
std::string UtcNow();
// An --until prefix takes in everything it starts: "2026-12-09" is the whole
// day. Rows compare below the returned text.
std::string UntilBound(const std::string &until);
// The row's values in the order of schema::kRunColumns, numbers as decimal text.
std::vector<std::string> ColumnsOfRow(const RunRow &row);
RunRow RowFromColumns(const std::vector<std::string> &columns);
size_t RunColumnIndex(const char *name);
bool IsIntegerColumn(const char *name);

std::unique_ptr<RecordStore> OpenSqliteRecordStore(const std::string &path, std::string *error);

}  // namespace quillcli
