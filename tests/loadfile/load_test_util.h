// Helpers for the load-file tests: record builders with correct checksums, a
// scratch folder; the record fetcher is in common/record_collector.h.
#pragma once
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/record_collector.h"
#include "quillctl.h"

namespace quilltest {

inline std::string HexText(const std::vector<uint8_t> &bytes) {
    std::string s;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        s += two;
    }
    return s;
}

// ":" record of `type` with a correct checksum, no line end.
inline std::string Intel(uint8_t type, uint16_t offset, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> body{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                              static_cast<uint8_t>(offset), type};
    body.insert(body.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : body) sum += b;
    body.push_back(static_cast<uint8_t>(0 - sum));
    return ":" + HexText(body);
}

// "S<type>" record with `addressBytes` address bytes and a correct checksum.
inline std::string SRec(int type, int addressBytes, uint32_t address, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> body{static_cast<uint8_t>(addressBytes + data.size() + 1)};
    for (int i = addressBytes - 1; i >= 0; --i) body.push_back(static_cast<uint8_t>(address >> (8 * i)));
    body.insert(body.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : body) sum += b;
    body.push_back(static_cast<uint8_t>(0xFF - sum));
    return "S" + std::to_string(type) + HexText(body);
}

class ScratchDir {
public:
    ScratchDir() {
        char name[] = "/tmp/quill-load-XXXXXX";
        path_ = mkdtemp(name) ? name : "/tmp";
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string Write(const std::string &name, const std::string &content) const {
        const std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

}  // namespace quilltest
