// Helpers for the parameter-file tests: files built from lines, read from
// memory or from a temporary file.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>

#include "prm/prm_internal.h"
#include "temp_file.h"
#include "quillctl.h"

namespace prmtest {

struct FreeRecord {
    void operator()(DeviceParameters *d) const { PRRFreePRM(d); }
};
using Record = std::unique_ptr<DeviceParameters, FreeRecord>;

// The lines, each ended with CR LF.
inline std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string &line : lines) text += line + "\r\n";
    return text;
}

inline Record Read(const std::string &text) {
    quill::ByteSource src(text.data(), text.size());
    return Record(quill::ReadPrm(src));
}

inline uint32_t Checksum(const std::string &text) {
    quill::ByteSource src(text.data(), text.size());
    return quill::PrmChecksum(src);
}

}  // namespace prmtest
