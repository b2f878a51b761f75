// The production record on a PostgreSQL server, shared by many stations.
#pragma once
#include <memory>
#include <string>

#include "record/record_store.h"

namespace quillrecord {

// `conninfo` is anything libpq takes: "postgresql://user@host/db?sslmode=require"
// or "host=... dbname=...". The connection gives up after 10 s unless
// `conninfo` or $PGCONNECT_TIMEOUT sets a time-out of its own. Creates the
// schema in an empty database; null with the reason when the server cannot
// be reached, the schema cannot be made, or the database's schema is newer
// than this program knows. One store is one connection: use it from one
// thread at a time.
std::unique_ptr<RecordStore> OpenPgRecordStore(const std::string &conninfo, std::string *error);

}  // namespace quillrecord
