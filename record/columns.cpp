#include "record/columns.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace quillrecord {
namespace {

using T = SqlType;

const Column kColumns[] = {
    {"station", T::kText, &RunRow::station},
    {"operator", T::kText, &RunRow::operatorName},
    {"started_utc", T::kText, &RunRow::startedUtc},
    {"ended_utc", T::kText, &RunRow::endedUtc},
    {"port_name", T::kText, &RunRow::portName},
    {"port_path", T::kText, &RunRow::portPath},
    {"adapter_serial", T::kText, &RunRow::adapterSerial},
    {"command", T::kText, &RunRow::command},
    {"options", T::kText, &RunRow::options},
    {"prm_path", T::kText, &RunRow::prmPath},
    {"prm_checksum", T::kText, &RunRow::prmChecksum},
    {"load_path", T::kText, &RunRow::loadPath},
    {"image_checksum", T::kText, &RunRow::imageChecksum},
    {"stream_sha256", T::kText, &RunRow::streamSha256},
    {"device_id", T::kText, &RunRow::deviceId},
    {"device_name", T::kText, &RunRow::deviceName},
    {"device_version", T::kText, &RunRow::deviceVersion},
    {"final_status", T::kInteger, &RunRow::finalStatus},
    {"status_text", T::kText, &RunRow::statusText},
    {"checksum_compare", T::kText, &RunRow::checksumCompare},
    {"result", T::kText, &RunRow::result},
    {"exit_code", T::kInteger, &RunRow::exitCode},
    {"duration_ms", T::kBigInt, &RunRow::durationMs},
    {"bytes_programmed", T::kBigInt, &RunRow::bytesProgrammed},
    {"serial_number", T::kBigInt, &RunRow::serialNumber, true},
    {"log", T::kText, &RunRow::log},
    {"load_sources", T::kText, &RunRow::loadSources, false, 2},
    {"job_sha256", T::kText, &RunRow::jobSha256, false, 3},
    {"job_signer", T::kText, &RunRow::jobSigner, false, 3},
};

int64_t Number(const RunRow &row, const Column &c) {
    if (const auto *m = std::get_if<int32_t RunRow::*>(&c.member)) return row.*(*m);
    if (const auto *m = std::get_if<int64_t RunRow::*>(&c.member)) return row.*(*m);
    return 0;
}

}  // namespace

const Column *RunColumns() { return kColumns; }
size_t RunColumnCount() { return std::size(kColumns); }

const Column *FindRunColumn(const char *name) {
    for (const Column &c : kColumns)
        if (std::strcmp(c.name, name) == 0) return &c;
    return nullptr;
}

const char *SqlTypeName(SqlType type) {
    switch (type) {
    case SqlType::kText: return "TEXT";
    case SqlType::kInteger: return "INTEGER";
    case SqlType::kBigInt: return "BIGINT";
    }
    return "TEXT";
}

bool IsNumber(const Column &c) { return c.type != SqlType::kText; }

bool IsNull(const RunRow &row, const Column &c) { return c.nullable && Number(row, c) == -1; }

std::string ValueText(const RunRow &row, const Column &c) {
    if (const auto *m = std::get_if<std::string RunRow::*>(&c.member)) return row.*(*m);
    if (IsNull(row, c)) return "";
    return std::to_string(Number(row, c));
}

void SetValue(RunRow &row, const Column &c, const char *text, bool null) {
    if (const auto *m = std::get_if<std::string RunRow::*>(&c.member)) {
        row.*(*m) = null || text == nullptr ? "" : text;
        return;
    }
    const int64_t v = null || text == nullptr || *text == '\0' ? -1 : std::strtoll(text, nullptr, 10);
    if (const auto *m = std::get_if<int32_t RunRow::*>(&c.member)) row.*(*m) = static_cast<int32_t>(v);
    if (const auto *m = std::get_if<int64_t RunRow::*>(&c.member)) row.*(*m) = v;
}

}  // namespace quillrecord
