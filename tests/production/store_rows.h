// Rows for the record store tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "production/record_store.h"

namespace storetest {

using quillcli::RunRow;

// Every field of a row, for comparing two rows at once (gtest prints both).
inline std::vector<std::string> Fields(const RunRow &r) {
    return {r.station,        r.operatorName,  r.startedUtc,    r.endedUtc,      r.portName,
            r.portPath,       r.adapterSerial, r.command,       r.options,       r.prmPath,
            r.prmChecksum,    r.loadPath,      r.imageChecksum, r.streamSha256,  r.deviceId,
            r.deviceName,     r.deviceVersion, std::to_string(r.finalStatus),   r.statusText,
            r.checksumCompare, r.result,       std::to_string(r.exitCode),      std::to_string(r.durationMs),
            std::to_string(r.bytesProgrammed), std::to_string(r.serialNumber),  r.log};
}

inline RunRow Row(const std::string &started, const std::string &station = "st1", const std::string &result = "ok",
                  int64_t serial = -1, const std::string &image = "1A2B") {
    RunRow r;
    r.station = station;
    r.operatorName = "op";
    r.startedUtc = started;
    r.endedUtc = started;
    r.command = "program";
    r.imageChecksum = image;
    r.result = result;
    r.serialNumber = serial;
    return r;
}

}  // namespace storetest
