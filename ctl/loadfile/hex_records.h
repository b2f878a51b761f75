// Intel HEX and Motorola S-record readers over a load file held in memory.
// One call reads one record, applies it to the image and moves the position
// past it, so the worker can look at its queue between any two records.
#pragma once
#include <cstddef>
#include <cstdint>

#include "quillctl.h"

namespace quill {

constexpr uint32_t kImageSize = PRR_IMAGE_SIZE;
// 0xFF bytes after the image: imageStart + imageLength may reach up to 0xF0
// bytes past the last address (a byte at 0x1FFFFF gives start 0x1FFFF0,
// length 256), and consumers stream that whole range.
constexpr uint32_t kImageSlack = 256;

// Parser state the worker keeps across records.
struct HexParser {
    std::size_t position = 0;        // start of the next record in the buffer
    uint32_t segmentBase = 0;        // from Intel 02 / 04 records
    uint32_t lowest = 0xFFFFFFFFu;   // lowest-address candidate
    uint32_t highest = 0;            // highest-address candidate
    uint32_t address = 0;            // first address of the last data or end record
    uint32_t endAddress = 0;         // last address of the last data record
    bool extentSeen = false;         // a data record took part in the extent
    uint8_t *written = nullptr;      // when set (kImageSize flags): 1 at every address a record wrote
};

enum class RecordResult : uint8_t {
    kNext,        // applied; position is at the next record
    kEnd,         // end record read; the parse is complete
    kBadFormat,   // stray character, truncated or malformed record, no end record
    kOutOfRange,  // data at or running past 0x200000
};

// Reads the record at p.position of buf[0, size) and applies it to `image`
// (kImageSize bytes). Never reads outside buf or writes outside the image.
RecordResult ReadRecord(const uint8_t *buf, std::size_t size, HexParser &p, uint8_t *image);

// Reads records until the end record or a failure.
RecordResult ReadAllRecords(const uint8_t *buf, std::size_t size, HexParser &p, uint8_t *image);

// Status code of a failed read: 2 for malformed input, 3 for an address out of range.
int32_t RecordFailureStatus(RecordResult r);

// The image's extent and checksum after a complete parse.
struct ImageExtent {
    uint32_t lowest;
    uint32_t highest;
    uint32_t start;   // lowest rounded down to 16
    uint32_t end;     // highest
    uint32_t length;  // start..highest in whole 256-byte units
    uint16_t checksum;  // 0 minus the byte sum of lowest..highest
};

ImageExtent ComputeExtent(const HexParser &p, const uint8_t *image);

}  // namespace quill
