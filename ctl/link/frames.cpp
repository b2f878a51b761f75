#include "link/frames.h"

#include <cstring>

namespace quill::proto {

void BuildCommandFrame(uint8_t *dest, uint8_t code, const uint8_t *data, size_t length) {
    dest[0] = code;
    if (length > 0) std::memcpy(dest + 1, data, length);
}

Frame UnitFrame(uint8_t code, uint8_t unit, uint8_t o1, uint8_t o2) {
    Frame f;
    f.bytes.fill(kFiller);
    const uint8_t data[3] = {unit, o1, o2};
    BuildCommandFrame(f.bytes.data(), code, data, sizeof data);
    f.length = kUnitFrameLength;
    return f;
}

Frame AddressFrame(uint8_t code, uint32_t start, uint32_t end) {
    Frame f;
    f.bytes.fill(kFiller);
    const uint8_t data[6] = {uint8_t(start >> 16), uint8_t(start >> 8), uint8_t(start),
                             uint8_t(end >> 16),   uint8_t(end >> 8),   uint8_t(end)};
    BuildCommandFrame(f.bytes.data(), code, data, sizeof data);
    f.length = kAddressFrameLength;
    return f;
}

Frame NoDataFrame(uint8_t code) {
    Frame f;
    f.bytes.fill(kFiller);
    BuildCommandFrame(f.bytes.data(), code, nullptr, 0);
    f.length = kNoDataFrameLength;
    return f;
}

}  // namespace quill::proto
