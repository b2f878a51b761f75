#include "loadfile/hex_records.h"

#include <algorithm>
#include <array>

namespace quill {
namespace {

constexpr uint32_t kAddressLimit = kImageSize;  // first address outside the image

// Value of each character as a hex digit. Anything else where a digit is
// expected counts as 0, so a damaged record still has a defined meaning.
constexpr std::array<uint8_t, 256> MakeHexTable() {
    std::array<uint8_t, 256> t{};
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10);
    return t;
}
constexpr std::array<uint8_t, 256> kHexDigit = MakeHexTable();

inline uint32_t HexByte(const uint8_t *s) { return (uint32_t{kHexDigit[s[0]]} << 4) | kHexDigit[s[1]]; }

// Big-endian value of `count` bytes written as hex.
inline uint32_t HexBytes(const uint8_t *s, uint32_t count) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < count; ++i) v = (v << 8) | HexByte(s + 2 * i);
    return v;
}

inline bool IsLineEnd(uint8_t c) { return c == '\r' || c == '\n'; }

// Up to two CR or LF characters after a record belong to it.
std::size_t SkipLineEnd(const uint8_t *buf, std::size_t size, std::size_t pos) {
    for (int i = 0; i < 2 && pos < size && IsLineEnd(buf[pos]); ++i) ++pos;
    return pos;
}

RecordResult ApplyData(HexParser &p, uint32_t address, uint32_t count, const uint8_t *digits, uint8_t *image) {
    const uint32_t end = address + count - 1;  // address - 1 for an empty record
    p.address = address;
    p.endAddress = end;
    // An empty record at 0 ends at 0xFFFFFFFF; it must not become the highest address.
    if (count != 0 || address != 0) {
        if (address < p.lowest) p.lowest = address;
        if (end > p.highest) p.highest = end;
        p.extentSeen = true;
    }
    if (address >= kAddressLimit || count > kAddressLimit - address) return RecordResult::kOutOfRange;
    uint8_t *dst = image + address;
    for (uint32_t i = 0; i < count; ++i) dst[i] = static_cast<uint8_t>(HexByte(digits + 2 * i));
    if (p.written != nullptr) std::fill_n(p.written + address, count, uint8_t{1});
    return RecordResult::kNext;
}

// ":" LL AAAA TT data CC
RecordResult ReadIntel(const uint8_t *buf, std::size_t size, HexParser &p, uint8_t *image) {
    const uint8_t *r = buf + p.position;
    const std::size_t left = size - p.position;
    if (left < 3) return RecordResult::kBadFormat;
    const uint32_t count = HexByte(r + 1);
    const std::size_t length = 11 + 2 * std::size_t{count};
    if (left < length) return RecordResult::kBadFormat;
    const uint32_t offset = (HexByte(r + 3) << 8) | HexByte(r + 5);
    const uint32_t type = HexByte(r + 7);
    const uint8_t *data = r + 9;
    RecordResult result = RecordResult::kNext;
    switch (type) {
    case 0x00:
        result = ApplyData(p, p.segmentBase + offset, count, data, image);
        break;
    case 0x01:
        result = RecordResult::kEnd;
        break;
    case 0x02:
    case 0x04: {
        // Without its two bytes the base would come from the checksum and
        // whatever follows the record.
        if (count < 2) return RecordResult::kBadFormat;
        const uint32_t value = HexBytes(data, 2);
        p.segmentBase = type == 0x02 ? value << 4 : value << 16;
        break;
    }
    default:
        break;
    }
    if (result == RecordResult::kNext || result == RecordResult::kEnd)
        p.position = SkipLineEnd(buf, size, p.position + length);
    return result;
}

// "S" T CC address data checksum
RecordResult ReadSRecord(const uint8_t *buf, std::size_t size, HexParser &p, uint8_t *image) {
    const uint8_t *r = buf + p.position;
    const std::size_t left = size - p.position;
    if (left < 4) return RecordResult::kBadFormat;
    const uint8_t type = r[1];
    const uint32_t count = HexByte(r + 2);  // address, data and checksum bytes
    const std::size_t length = 4 + 2 * std::size_t{count};
    if (left < length) return RecordResult::kBadFormat;
    const uint8_t *field = r + 4;
    RecordResult result = RecordResult::kNext;
    switch (type) {
    case '1':
    case '2':
    case '3': {
        const uint32_t addressBytes = type - '0' + 1u;
        if (count < addressBytes + 1) return RecordResult::kBadFormat;
        result = ApplyData(p, HexBytes(field, addressBytes), count - addressBytes - 1, field + 2 * addressBytes,
                           image);
        break;
    }
    case '7':
    case '8':
    case '9': {
        // The start address may lower the extent, never raise its top.
        const uint32_t addressBytes = 11u - (type - '0');
        if (count < addressBytes + 1) return RecordResult::kBadFormat;
        const uint32_t address = HexBytes(field, addressBytes);
        p.address = address;
        if (address < p.lowest) p.lowest = address;
        result = RecordResult::kEnd;
        break;
    }
    default:
        break;
    }
    if (result == RecordResult::kNext || result == RecordResult::kEnd)
        p.position = SkipLineEnd(buf, size, p.position + length);
    return result;
}

}  // namespace

RecordResult ReadRecord(const uint8_t *buf, std::size_t size, HexParser &p, uint8_t *image) {
    if (p.position >= size) return RecordResult::kBadFormat;  // the file ended without an end record
    switch (buf[p.position]) {
    case ':':
        return ReadIntel(buf, size, p, image);
    case 'S':
        return ReadSRecord(buf, size, p, image);
    default:
        return RecordResult::kBadFormat;
    }
}

RecordResult ReadAllRecords(const uint8_t *buf, std::size_t size, HexParser &p, uint8_t *image) {
    RecordResult r;
    do {
        r = ReadRecord(buf, size, p, image);
    } while (r == RecordResult::kNext);
    return r;
}

int32_t RecordFailureStatus(RecordResult r) {
    return r == RecordResult::kOutOfRange ? PRR_STATUS_ILLEGAL_PARAMETER : PRR_STATUS_ILLEGAL_FILE_TYPE;
}

ImageExtent ComputeExtent(const HexParser &p, const uint8_t *image) {
    ImageExtent e{};
    e.lowest = p.lowest;
    e.highest = p.highest;
    e.start = p.lowest & ~0xFu;
    e.end = p.highest;
    e.length = (p.highest - e.start + 256) & ~0xFFu;
    uint32_t sum = 0;
    if (p.lowest <= p.highest && p.highest < kImageSize) {
        for (uint32_t a = p.lowest; a <= p.highest; ++a) sum += image[a];
    }
    e.checksum = static_cast<uint16_t>(0u - sum);
    return e;
}

}  // namespace quill
