// The columns of `runs`: each one's name, SQL type and the RunRow member it
// holds, written once. The schema, both stores, `history` and the tests take
// the columns from here, in this order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "record/run_row.h"

namespace quillrecord {

enum class SqlType { kText, kInteger, kBigInt };

struct Column {
    const char *name;
    SqlType type;
    std::variant<std::string RunRow::*, int32_t RunRow::*, int64_t RunRow::*> member;
    bool nullable = false;  // NULL stands for the member's -1 (serial_number)
    int since = 1;          // the schema version that added it
};

// Every column but id, in the table's order.
const Column *RunColumns();
size_t RunColumnCount();
const Column *FindRunColumn(const char *name);  // null when there is none

// The SQL type of a column as CREATE TABLE spells it ("TEXT", "BIGINT").
const char *SqlTypeName(SqlType type);
bool IsNumber(const Column &c);
// The member as NULL: a nullable column whose member is -1.
bool IsNull(const RunRow &row, const Column &c);
// The member as text (numbers in decimal); "" for NULL.
std::string ValueText(const RunRow &row, const Column &c);
// Sets the member from a database's text; `null` for a NULL value.
void SetValue(RunRow &row, const Column &c, const char *text, bool null);

}  // namespace quillrecord
