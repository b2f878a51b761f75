#include "production/store_common.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "production/schema.h"

namespace quillcli {

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}

// '~' sorts after every character a timestamp holds.
std::string UntilBound(const std::string &until) { return until + "~"; }

std::vector<std::string> ColumnsOfRow(const RunRow &r) {
    return {r.station,       r.operatorName,  r.startedUtc,  r.endedUtc,
            r.portName,      r.portPath,      r.adapterSerial, r.command,
            r.options,       r.prmPath,       r.prmChecksum, r.loadPath,
            r.imageChecksum, r.streamSha256,  r.deviceId,    r.deviceName,
            r.deviceVersion, std::to_string(r.finalStatus), r.statusText, r.checksumCompare,
            r.result,        std::to_string(r.exitCode), std::to_string(r.durationMs), std::to_string(r.bytesProgrammed),
            std::to_string(r.serialNumber), r.log};
}

RunRow RowFromColumns(const std::vector<std::string> &c) {
    RunRow r;
    if (c.size() != std::size(schema::kRunColumns)) return r;
    auto num = [](const std::string &s) { return s.empty() ? int64_t{-1} : static_cast<int64_t>(std::strtoll(s.c_str(), nullptr, 10)); };
    size_t i = 0;
    r.station = c[i++];
    r.operatorName = c[i++];
    r.startedUtc = c[i++];
    r.endedUtc = c[i++];
    r.portName = c[i++];
    r.portPath = c[i++];
    r.adapterSerial = c[i++];
    r.command = c[i++];
    r.options = c[i++];
    r.prmPath = c[i++];
    r.prmChecksum = c[i++];
    r.loadPath = c[i++];
    r.imageChecksum = c[i++];
    r.streamSha256 = c[i++];
    r.deviceId = c[i++];
    r.deviceName = c[i++];
    r.deviceVersion = c[i++];
    r.finalStatus = static_cast<int32_t>(num(c[i++]));
    r.statusText = c[i++];
    r.checksumCompare = c[i++];
    r.result = c[i++];
    r.exitCode = static_cast<int32_t>(num(c[i++]));
    r.durationMs = num(c[i++]);
    r.bytesProgrammed = num(c[i++]);
    r.serialNumber = num(c[i++]);
    r.log = c[i++];
    return r;
}

size_t RunColumnIndex(const char *name) {
    for (size_t i = 0; i < std::size(schema::kRunColumns); ++i)
        if (std::strcmp(schema::kRunColumns[i], name) == 0) return i;
    return std::size(schema::kRunColumns);
}

bool IsIntegerColumn(const char *name) {
    for (const char *n : {"final_status", "exit_code", "duration_ms", "bytes_programmed", "serial_number"})
        if (std::strcmp(n, name) == 0) return true;
    return false;
}

}  // namespace quillcli
