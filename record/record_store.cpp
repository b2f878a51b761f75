#include "record/record_store.h"

#include <cstdlib>
#include <map>

#include "record/store_common.h"
#ifdef QUILLROM_HAVE_PG
#include "record/pg_store.h"
#endif

namespace quillrecord {

std::string DefaultRecordUrl() {
    std::string data;
    if (const char *x = std::getenv("XDG_DATA_HOME"); x && *x == '/') data = x;
    else if (const char *home = std::getenv("HOME"); home && *home) data = std::string(home) + "/.local/share";
    return data.empty() ? std::string() : "sqlite:" + data + "/quillrom/history.db";
}

bool HasPostgresql() {
#ifdef QUILLROM_HAVE_PG
    return true;
#else
    return false;
#endif
}

std::unique_ptr<RecordStore> OpenRecordStore(const std::string &url, std::string *error) {
    if (url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0) {
#ifdef QUILLROM_HAVE_PG
        return OpenPgRecordStore(url, error);
#else
        *error = "this build has no PostgreSQL (libpq)";
        return nullptr;
#endif
    }
    const std::string path = url.rfind("sqlite:", 0) == 0 ? url.substr(7) : url;
    return OpenSqliteRecordStore(path, error);
}

std::vector<SummaryLine> Summarize(const std::vector<RunRow> &rows) {
    std::map<std::pair<std::string, std::string>, SummaryLine> by;
    for (const RunRow &r : rows) {
        SummaryLine &s = by[{r.startedUtc.substr(0, 10), r.station}];
        s.day = r.startedUtc.substr(0, 10);
        s.station = r.station;
        ++s.runs;
        (r.result == "ok" ? s.ok : s.failed) += 1;
    }
    std::vector<SummaryLine> out;
    for (auto &[key, line] : by) out.push_back(line);
    return out;
}

}  // namespace quillrecord
