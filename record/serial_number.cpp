#include "record/serial_number.h"

#include <cstdlib>
#include <limits>

namespace quillrecord {

bool ParseSerialSpec(const std::string &text, SerialSpec *out, std::string *why) {
    const size_t c1 = text.find(':');
    const size_t c2 = c1 == std::string::npos ? std::string::npos : text.find(':', c1 + 1);
    auto number = [](const std::string &s, uint64_t *v) {
        if (s.empty()) return false;
        char *end = nullptr;
        const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        *v = std::strtoull(hex ? s.c_str() + 2 : s.c_str(), &end, hex ? 16 : 10);
        return end != nullptr && *end == '\0' && s[0] != '-' && s[0] != '+';
    };
    uint64_t address = 0, length = 0;
    if (c1 == std::string::npos || !number(text.substr(0, c1), &address) ||
        !number(text.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1), &length)) {
        *why = "--serial-number wants ADDR:LEN[:FORMAT], e.g. 0x7FF0:4:le, not '" + text + "'";
        return false;
    }
    SerialSpec s;
    const std::string format = c2 == std::string::npos ? "le" : text.substr(c2 + 1);
    if (format == "le") s.format = SerialFormat::LittleEndian;
    else if (format == "be") s.format = SerialFormat::BigEndian;
    else if (format == "bcd") s.format = SerialFormat::Bcd;
    else if (format == "ascii") s.format = SerialFormat::Ascii;
    else {
        *why = "--serial-number: the format is le, be, bcd or ascii, not '" + format + "'";
        return false;
    }
    const bool binary = s.format == SerialFormat::LittleEndian || s.format == SerialFormat::BigEndian;
    if (length < 1 || length > (binary ? 8u : 16u)) {
        *why = std::string("--serial-number: LEN runs from 1 to ") + (binary ? "8" : "16") + " bytes for " + format;
        return false;
    }
    if (address > 0xFFFFFFFFull) {
        *why = "--serial-number: the address is out of range";
        return false;
    }
    s.address = static_cast<uint32_t>(address);
    s.length = static_cast<uint32_t>(length);
    *out = s;
    return true;
}

bool EncodeSerial(const SerialSpec &spec, int64_t number, std::vector<uint8_t> *bytes) {
    if (number < 0) return false;
    uint64_t n = static_cast<uint64_t>(number);
    bytes->assign(spec.length, 0);
    switch (spec.format) {
    case SerialFormat::LittleEndian:
    case SerialFormat::BigEndian:
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
    const bool binary = spec.format == SerialFormat::LittleEndian || spec.format == SerialFormat::BigEndian;
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
