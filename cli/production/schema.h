// The tables both record stores keep. Each migration brings the schema from
// the version before it to its own; a store applies those above the version
// it finds, each in one transaction with the version update.
#pragma once

namespace quillcli::schema {

// Columns of `runs`, in the order RunRow lists them (without id).
inline constexpr const char *kRunColumns[] = {
    "station",       "operator",       "started_utc",   "ended_utc",       "port_name",   "port_path",
    "adapter_serial", "command",       "options",       "prm_path",        "prm_checksum", "load_path",
    "image_checksum", "stream_sha256", "device_id",     "device_name",     "device_version", "final_status",
    "status_text",   "checksum_compare", "result",      "exit_code",       "duration_ms", "bytes_programmed",
    "serial_number", "log"};

// Version 1. `serials` holds every number ever handed out: its state goes
// from 'allocated' to the result of the run that used it, and a number is
// never deleted, so the next one is always above the highest.
// INTEGER PRIMARY KEY AUTOINCREMENT (SQLite) and BIGSERIAL (PostgreSQL)
// differ; the store puts its own in for @ID@.
inline constexpr const char *kVersion1[] = {
    "CREATE TABLE schema_version (version INTEGER NOT NULL)",
    "CREATE TABLE runs ("
    " id @ID@,"
    " station TEXT NOT NULL, operator TEXT NOT NULL,"
    " started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL,"
    " port_name TEXT NOT NULL, port_path TEXT NOT NULL, adapter_serial TEXT NOT NULL,"
    " command TEXT NOT NULL, options TEXT NOT NULL,"
    " prm_path TEXT NOT NULL, prm_checksum TEXT NOT NULL,"
    " load_path TEXT NOT NULL, image_checksum TEXT NOT NULL, stream_sha256 TEXT NOT NULL,"
    " device_id TEXT NOT NULL, device_name TEXT NOT NULL, device_version TEXT NOT NULL,"
    " final_status INTEGER NOT NULL, status_text TEXT NOT NULL, checksum_compare TEXT NOT NULL,"
    " result TEXT NOT NULL, exit_code INTEGER NOT NULL,"
    " duration_ms BIGINT NOT NULL, bytes_programmed BIGINT NOT NULL,"
    " serial_number BIGINT, log TEXT NOT NULL)",
    "CREATE INDEX runs_started ON runs (started_utc)",
    "CREATE INDEX runs_serial ON runs (serial_number)",
    "CREATE TABLE serials ("
    " number BIGINT PRIMARY KEY, station TEXT NOT NULL, allocated_utc TEXT NOT NULL,"
    " state TEXT NOT NULL, run_id BIGINT)",
};

}  // namespace quillcli::schema
