#include "production/record_store.h"

#include <cstdlib>

#include "production/store_common.h"
#ifdef QUILLROM_HAVE_PG
#include "production/pg_store.h"
#endif

namespace quillcli {

std::string DefaultRecordUrl() {
    std::string data;
    if (const char *x = std::getenv("XDG_DATA_HOME"); x && *x == '/') data = x;
    else if (const char *home = std::getenv("HOME"); home && *home) data = std::string(home) + "/.local/share";
    return data.empty() ? std::string() : "sqlite:" + data + "/quillrom/history.db";
}

std::unique_ptr<RecordStore> OpenRecordStore(const std::string &url, std::string *error) {
    if (url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0) {
#ifdef QUILLROM_HAVE_PG
        return OpenPgRecordStore(url, error);
#else
        *error = "this quillrom was built without PostgreSQL (libpq)";
        return nullptr;
#endif
    }
    const std::string path = url.rfind("sqlite:", 0) == 0 ? url.substr(7) : url;
    return OpenSqliteRecordStore(path, error);
}

}  // namespace quillcli
