// The record as people and programs read it.
#pragma once
#include <string>
#include <vector>

#include "record/run_row.h"

namespace quillcli {

using quillrecord::HistoryFilter;
using quillrecord::RunRow;
using quillrecord::Summarize;
using quillrecord::SummaryLine;

std::string HistoryTable(const std::vector<RunRow> &rows);
std::string HistoryJson(const std::vector<RunRow> &rows);
// Every column, a header line first; fields quoted where they need it.
std::string HistoryCsv(const std::vector<RunRow> &rows);
std::string SummaryTable(const std::vector<SummaryLine> &lines);
std::string SummaryJson(const std::vector<SummaryLine> &lines);
std::string SummaryCsv(const std::vector<SummaryLine> &lines);
// A --since/--until time as the rows' start times begin: "2026", "2026-12",
// "2026-12-09", then "T" (or a space) and "10", "10:21", "10:21:27" or
// "10:21:27.1" to ".123"; a final "Z" is dropped, as every time is UTC.
// False when `text` is no such time.
bool TimePrefix(const std::string &text, std::string *prefix);
// One CSV field as RFC 4180 writes it.
std::string CsvField(const std::string &text);

}  // namespace quillcli
