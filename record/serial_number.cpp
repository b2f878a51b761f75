#include "record/serial_number.h"

#include <cstdlib>
#include <limits>

namespace quillrecord {

namespace {

// Shared by --serial-number and --field: `option` opens the reasons
// ("--serial-number"), or none.
bool ReadPlace(const std::string &text, const std::string &option, bool allowHex, SerialSpec *out, std::string *why) {
    const size_t c1 = text.find(':');
    const size_t c2 = c1 == std::string::npos ? std::string::npos : text.find(':', c1 + 1);
    auto number = [](const std::string &s, uint64_t *v) {
        if (s.empty()) return false;
        char *end = nullptr;
        const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        *v = std::strtoull(hex ? s.c_str() + 2 : s.c_str(), &end, hex ? 16 : 10);
        return end != nullptr && *end == '\0' && s[0] != '-' && s[0] != '+';
    };
    const std::string lead = option.empty() ? std::string() : option + ": ";
    uint64_t address = 0, length = 0;
    if (c1 == std::string::npos || !number(text.substr(0, c1), &address) ||
        !number(text.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1), &length)) {
        *why = (option.empty() ? std::string() : option + " ") + "wants ADDR:LEN[:FORMAT], e.g. 0x7FF0:4:le, not '" + text + "'";
        return false;
    }
    SerialSpec s;
    const std::string format = c2 == std::string::npos ? "le" : text.substr(c2 + 1);
    if (format == "le") s.format = SerialFormat::LittleEndian;
    else if (format == "be") s.format = SerialFormat::BigEndian;
    else if (format == "bcd") s.format = SerialFormat::Bcd;
    else if (format == "ascii") s.format = SerialFormat::Ascii;
    else if (format == "hex" && allowHex) s.format = SerialFormat::Hex;
    else {
        *why = lead + "the format is le, be, bcd" + (allowHex ? ", ascii or hex" : " or ascii") + ", not '" + format + "'";
        return false;
    }
    const bool binary = s.format == SerialFormat::LittleEndian || s.format == SerialFormat::BigEndian;
    const uint64_t most = binary ? 8u : s.format == SerialFormat::Hex ? 64u : 16u;
    if (length < 1 || length > most) {
        *why = lead + "LEN runs from 1 to " + std::to_string(most) + " bytes for " + format;
        return false;
    }
    if (address > 0xFFFFFFFFull || address + length - 1 > 0xFFFFFFFFull) {
        *why = lead + "the address is out of range";
        return false;
    }
    s.address = static_cast<uint32_t>(address);
    s.length = static_cast<uint32_t>(length);
    *out = s;
    return true;
}

}  // namespace

bool ParseSerialSpec(const std::string &text, SerialSpec *out, std::string *why) {
    return ReadPlace(text, "--serial-number", false, out, why);
}

bool ParsePlace(const std::string &text, bool allowHex, SerialSpec *out, std::string *why) {
    return ReadPlace(text, "", allowHex, out, why);
}

const char *FormatName(SerialFormat format) {
    switch (format) {
    case SerialFormat::LittleEndian: return "le";
    case SerialFormat::BigEndian: return "be";
    case SerialFormat::Bcd: return "bcd";
    case SerialFormat::Ascii: return "ascii";
    case SerialFormat::Hex: return "hex";
    }
    return "le";
}

bool EncodeSerial(const SerialSpec &spec, int64_t number, std::vector<uint8_t> *bytes) {
    if (number < 0) return false;
    uint64_t n = static_cast<uint64_t>(number);
    bytes->assign(spec.length, 0);
    switch (spec.format) {
    case SerialFormat::LittleEndian:
    case SerialFormat::BigEndian:
    case SerialFormat::Hex:
        for (uint32_t i = 0; i < spec.length; ++i, n >>= 8) {
            const uint32_t at = spec.format == SerialFormat::LittleEndian ? i : spec.length - 1 - i;
            (*bytes)[at] = static_cast<uint8_t>(n & 0xFF);
        }
        return n == 0;
    case SerialFormat::Bcd:
        for (uint32_t i = spec.length; i-- > 0;) {
            const uint8_t low = static_cast<uint8_t>(n % 10);
            n /= 10;
            const uint8_t high = static_cast<uint8_t>(n % 10);
            n /= 10;
            (*bytes)[i] = static_cast<uint8_t>(high << 4 | low);
        }
        return n == 0;
    case SerialFormat::Ascii:
        for (uint32_t i = spec.length; i-- > 0; n /= 10) (*bytes)[i] = static_cast<uint8_t>('0' + n % 10);
        return n == 0;
    }
    return false;
}

int64_t SerialCapacity(const SerialSpec &spec) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    const bool binary = spec.format == SerialFormat::LittleEndian || spec.format == SerialFormat::BigEndian ||
                        spec.format == SerialFormat::Hex;
    if (binary) return spec.length >= 8 ? kMax : (int64_t{1} << (8 * spec.length)) - 1;
    const uint32_t digits = spec.format == SerialFormat::Bcd ? 2 * spec.length : spec.length;
    int64_t capacity = 0;
    for (uint32_t i = 0; i < digits; ++i) {
        if (capacity > (kMax - 9) / 10) return kMax;
        capacity = capacity * 10 + 9;
    }
    return capacity;
}

}  // namespace quillrecord
