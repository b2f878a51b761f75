#include "sim/wire.h"

#include <cstdio>

namespace quillsim::wire {

std::optional<size_t> frameLength(const uint8_t *head, size_t have, bool addressFormDevice) {
    if (have == 0) return size_t{0};
    switch (head[0]) {
    case kSignature:
    case kVersion:
        return kNoDataFrameLength;
    case kVerify:
        return kAddressFrameLength;
    case kInternalVerify:
    case kEraseCheck:
    case kProgram:
    case kChecksum:
        return kUnitFrameLength;
    case kChipErase:
    case kBlockErase:
    case kBlankCheck:
        if (!addressFormDevice) return kUnitFrameLength;
        if (have < kUnitFrameLength) return size_t{0};
        return head[2] == 0x00 && head[3] == 0xFF ? kUnitFrameLength : kAddressFrameLength;
    default:
        return std::nullopt;
    }
}

Frame decodeFrame(const Bytes &raw) {
    Frame f;
    f.raw = raw;
    if (raw.empty()) return f;
    f.code = raw[0];
    if (raw.size() == kUnitFrameLength) {
        f.form = FrameForm::Unit;
        f.unit = raw[1];
        f.opt1 = raw[2];
        f.opt2 = raw[3];
    } else if (raw.size() == kAddressFrameLength) {
        f.form = FrameForm::Address;
        f.start = (uint32_t{raw[1]} << 16) | (uint32_t{raw[2]} << 8) | raw[3];
        f.end = (uint32_t{raw[4]} << 16) | (uint32_t{raw[5]} << 8) | raw[6];
    } else {
        f.form = FrameForm::NoData;
    }
    return f;
}

std::string describeFrame(const Frame &f) {
    const char *name = "unknown";
    switch (f.code) {
    case kVerify: name = "verify"; break;
    case kInternalVerify: name = f.securityForm() ? "security internal verify" : "internal verify"; break;
    case kChipErase: name = "chip erase"; break;
    case kBlockErase: name = "block erase"; break;
    case kEraseCheck: name = "erase check"; break;
    case kBlankCheck: name = "blank/erase check"; break;
    case kProgram: name = f.securityForm() ? "security write" : "program page"; break;
    case kChecksum: name = "checksum"; break;
    case kSignature: name = "signature"; break;
    case kVersion: name = "version"; break;
    default: break;
    }
    char text[128];
    switch (f.form) {
    case FrameForm::Unit:
        std::snprintf(text, sizeof text, "%s unit 0x%02X opt %02X %02X", name, f.unit, f.opt1, f.opt2);
        break;
    case FrameForm::Address:
        std::snprintf(text, sizeof text, "%s 0x%06X..0x%06X", name, static_cast<unsigned>(f.start),
                      static_cast<unsigned>(f.end));
        break;
    case FrameForm::NoData:
        std::snprintf(text, sizeof text, "%s", name);
        break;
    }
    return text;
}

namespace {
void appendFillers(Bytes &out, size_t count, size_t firstPosition = 0) {
    for (size_t i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(kFillerBase + firstPosition + i));
}
}  // namespace

Bytes statusAnswer(uint8_t st1) {
    Bytes out;
    appendFillers(out, 4);
    out.push_back(st1);
    return out;
}

Bytes statusAnswer(uint8_t st1, uint8_t st2) {
    Bytes out = statusAnswer(st1);
    out.push_back(st2);
    return out;
}

Bytes statusFrame(const Bytes &statuses) {
    Bytes out;
    appendFillers(out, 1);
    out.push_back(static_cast<uint8_t>(statuses.size()));
    out.insert(out.end(), statuses.begin(), statuses.end());
    appendFillers(out, 2, 1);
    return out;
}

Bytes dataFrame(const Bytes &data, uint8_t endByte) {
    Bytes out;
    appendFillers(out, 1);
    out.push_back(static_cast<uint8_t>(data.size() & 0xFF)); // 256 bytes travel as count 0
    out.insert(out.end(), data.begin(), data.end());
    appendFillers(out, 1, 1);
    out.push_back(endByte);
    return out;
}

Bytes wordAnswer(uint8_t first, uint8_t second) { return Bytes{first, second}; }

Bytes byteAck(uint8_t status) {
    Bytes out;
    appendFillers(out, 1);
    out.push_back(status);
    return out;
}

Bytes resetAnswer(uint8_t fifth) {
    Bytes out;
    appendFillers(out, 4);
    out.push_back(fifth);
    return out;
}

uint16_t checksum(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    uint16_t value = data[0];
    for (size_t i = 1; i < size; ++i) {
        const bool low = (value & 1u) != 0;
        value = static_cast<uint16_t>(value >> 1);
        if (low) value ^= 0x1B00;
        value ^= data[i];
    }
    return value;
}

std::string hex(const uint8_t *data, size_t size, size_t limit) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < size && i < limit; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        s += b;
    }
    if (size > limit) s += " ...";
    return s;
}

}  // namespace quillsim::wire
