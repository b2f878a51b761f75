// Several load sources merged into one image: Intel HEX, S-record and ELF
// files (told by their content) and raw binaries at a given address. Two
// sources that write one address are an error naming both and the lowest such
// address; gaps inside the merged range take the fill byte.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "loadfile/hex_records.h"

namespace quill {

struct LoadSource {
    std::string path;
    bool binary = false;   // raw bytes from `address` on
    uint32_t address = 0;
};

enum class SourceKind : uint8_t { kIntelHex, kSRecord, kElf, kBinary };

// What one source put into the image: its kind and the address ranges it
// wrote (first, last), in address order.
struct SourceMap {
    SourceKind kind = SourceKind::kBinary;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
};

struct MergeResult {
    int32_t status = 0;    // 0, or the load error (2 malformed or unreadable, 3 out of the image)
    std::string reason;    // why, naming the file
    uint32_t lowest = 0xFFFFFFFFu;
    uint32_t highest = 0;
    std::vector<SourceMap> maps;  // one per source, in the given order
};

// Reads every source and writes the merged image into `image` (kImageSize +
// kImageSlack bytes, all 0xFF on entry). `fill` goes into the addresses of
// lowest..highest that no source wrote. A single HEX or S-record source gives
// the extent its own reader gives.
MergeResult MergeSources(const std::vector<LoadSource> &sources, uint8_t fill, uint8_t *image);

// Why a HEX or S-record read ended with `r` at p.position, naming the file.
std::string DescribeRecordFailure(const std::string &path, const uint8_t *file, std::size_t size, const HexParser &p,
                                  RecordResult r);

// Reads a whole file; false with a reason.
bool ReadFileBytes(const std::string &path, std::vector<uint8_t> *bytes, std::string *reason);

}  // namespace quill
