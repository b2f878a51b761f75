// The record as people and programs read it.
#pragma once
#include <string>
#include <vector>

#include "production/record_store.h"

namespace quillcli {

struct SummaryLine {
    std::string day;      // "2026-12-09" (UTC)
    std::string station;
    int64_t runs = 0, ok = 0, failed = 0;  // failed: every result but ok
    double yield() const { return runs > 0 ? 100.0 * static_cast<double>(ok) / static_cast<double>(runs) : 0; }
};

// One line per day and station, by day then station.
std::vector<SummaryLine> Summarize(const std::vector<RunRow> &rows);

std::string HistoryTable(const std::vector<RunRow> &rows);
std::string HistoryJson(const std::vector<RunRow> &rows);
// Every column, a header line first; fields quoted where they need it.
std::string HistoryCsv(const std::vector<RunRow> &rows);
std::string SummaryTable(const std::vector<SummaryLine> &lines);
std::string SummaryJson(const std::vector<SummaryLine> &lines);
std::string SummaryCsv(const std::vector<SummaryLine> &lines);
// One CSV field as RFC 4180 writes it.
std::string CsvField(const std::string &text);

}  // namespace quillcli
