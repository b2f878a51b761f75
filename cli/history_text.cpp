#include "history_text.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "json_text.h"
#include "record/columns.h"
#include "record/store_common.h"

namespace quillcli {

bool TimePrefix(const std::string &text, std::string *prefix) {
    std::string t = text;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.pop_back();
    if (t.size() > 10 && t[10] == ' ') t[10] = 'T';
    // Each field: where it starts, its width, the character before it, its range.
    struct Field {
        size_t at, width;
        char before;
        int low, high;
    };
    static const Field fields[] = {{0, 4, 0, 0, 9999},   {5, 2, '-', 1, 12}, {8, 2, '-', 1, 31}, {11, 2, 'T', 0, 23},
                                   {14, 2, ':', 0, 59},  {17, 2, ':', 0, 59}, {20, 1, '.', 0, 9}, {21, 1, 0, 0, 9},
                                   {22, 1, 0, 0, 9}};
    size_t end = 0;
    for (const Field &f : fields) {
        if (t.size() == end) break;
        if (f.before != 0 && t[f.at - 1] != f.before) return false;
        if (t.size() < f.at + f.width) return false;
        int value = 0;
        for (size_t i = f.at; i < f.at + f.width; ++i) {
            if (t[i] < '0' || t[i] > '9') return false;
            value = value * 10 + (t[i] - '0');
        }
        if (value < f.low || value > f.high) return false;
        end = f.at + f.width;
    }
    if (end == 0 || t.size() != end) return false;
    *prefix = t;
    return true;
}

std::string HistoryTable(const std::vector<RunRow> &rows) {
    if (rows.empty()) return "no runs recorded\n";
    std::string out = "ID     STARTED (UTC)             STATION      PORT    COMMAND      RESULT       SERIAL  IMAGE  DETAIL\n";
    for (const RunRow &r : rows) {
        char line[640];
        std::snprintf(line, sizeof line, "%-6lld %-25s %-12s %-7s %-12s %-12s %-7s %-6s %s\n", static_cast<long long>(r.id),
                      r.startedUtc.c_str(), r.station.c_str(), r.portName.c_str(), r.command.c_str(), r.result.c_str(),
                      r.serialNumber >= 0 ? std::to_string(r.serialNumber).c_str() : "-", r.imageChecksum.c_str(),
                      r.statusText.c_str());
        out += line;
    }
    return out;
}

std::string HistoryJson(const std::vector<RunRow> &rows) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const RunRow &r : rows) {
        nlohmann::ordered_json j;
        j["id"] = r.id;
        for (size_t i = 0; i < quillrecord::RunColumnCount(); ++i) {
            const quillrecord::Column &c = quillrecord::RunColumns()[i];
            const std::string value = quillrecord::ValueText(r, c);
            if (quillrecord::IsNull(r, c)) j[c.name] = nullptr;
            else if (quillrecord::IsNumber(c)) j[c.name] = std::stoll(value);
            else j[c.name] = Latin1ToUtf8(value);
        }
        list.push_back(j);
    }
    return list.dump(2, ' ', true);
}

std::string CsvField(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    return "\"" + quillrecord::ReplaceAll(text, "\"", "\"\"") + "\"";
}

std::string HistoryCsv(const std::vector<RunRow> &rows) {
    std::string out = "id";
    for (size_t i = 0; i < quillrecord::RunColumnCount(); ++i) out += std::string(",") + quillrecord::RunColumns()[i].name;
    out += "\r\n";
    for (const RunRow &r : rows) {
        out += std::to_string(r.id);
        for (size_t i = 0; i < quillrecord::RunColumnCount(); ++i)
            out += "," + CsvField(quillrecord::ValueText(r, quillrecord::RunColumns()[i]));
        out += "\r\n";
    }
    return out;
}

std::string SummaryTable(const std::vector<SummaryLine> &lines) {
    if (lines.empty()) return "no runs recorded\n";
    std::string out = "DAY         STATION          RUNS     OK  FAILED   YIELD\n";
    for (const SummaryLine &s : lines) {
        char line[256];
        std::snprintf(line, sizeof line, "%-11s %-15s %5lld %6lld %7lld  %5.1f %%\n", s.day.c_str(), s.station.c_str(),
                      static_cast<long long>(s.runs), static_cast<long long>(s.ok), static_cast<long long>(s.failed),
                      s.yield());
        out += line;
    }
    return out;
}

std::string SummaryJson(const std::vector<SummaryLine> &lines) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const SummaryLine &s : lines) {
        nlohmann::ordered_json j;
        j["day"] = s.day;
        j["station"] = Latin1ToUtf8(s.station);
        j["runs"] = s.runs;
        j["ok"] = s.ok;
        j["failed"] = s.failed;
        j["yield"] = s.yield();
        list.push_back(j);
    }
    return list.dump(2, ' ', true);
}

std::string SummaryCsv(const std::vector<SummaryLine> &lines) {
    std::string out = "day,station,runs,ok,failed,yield\r\n";
    for (const SummaryLine &s : lines) {
        char y[32];
        std::snprintf(y, sizeof y, "%.1f", s.yield());
        out += s.day + "," + CsvField(s.station) + "," + std::to_string(s.runs) + "," + std::to_string(s.ok) + "," +
               std::to_string(s.failed) + "," + y + "\r\n";
    }
    return out;
}

}  // namespace quillcli
