// Rows for the record store tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "record/columns.h"
#include "record/record_store.h"

namespace storetest {

using quillrecord::RunRow;

// Every field of a row, named, for comparing two rows at once (gtest prints both).
inline std::vector<std::string> Fields(const RunRow &r) {
    std::vector<std::string> out;
    for (size_t i = 0; i < quillrecord::RunColumnCount(); ++i) {
        const quillrecord::Column &c = quillrecord::RunColumns()[i];
        out.push_back(std::string(c.name) + "=" + (quillrecord::IsNull(r, c) ? "NULL" : quillrecord::ValueText(r, c)));
    }
    return out;
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
