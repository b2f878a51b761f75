// Serial numbers written into each unit's image: where, how many bytes, and
// how a number becomes those bytes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace quillrecord {

// Hex is for fields only: the value's bytes as written (a number: its bytes,
// most significant first).
enum class SerialFormat { LittleEndian, BigEndian, Bcd, Ascii, Hex };

struct SerialSpec {
    uint32_t address = 0;
    uint32_t length = 0;  // bytes
    SerialFormat format = SerialFormat::LittleEndian;
};

// "ADDR:LEN[:FORMAT]": ADDR decimal or 0x hex, LEN 1..16 (1..8 for le/be),
// FORMAT le (default), be, bcd or ascii. False with the reason.
bool ParseSerialSpec(const std::string &text, SerialSpec *out, std::string *why);
// The same place for a field: hex (LEN 1..64) is allowed too; the reason
// names no option.
bool ParsePlace(const std::string &text, bool allowHex, SerialSpec *out, std::string *why);
// "le", "be", "bcd", "ascii", "hex".
const char *FormatName(SerialFormat format);

// The bytes of `number` in the format `spec` names; false when it does not fit
// (le/be: 256^LEN, bcd: two digits a byte, ascii: one digit a byte, zero-padded).
bool EncodeSerial(const SerialSpec &spec, int64_t number, std::vector<uint8_t> *bytes);

// The largest number EncodeSerial takes for `spec` (at most INT64_MAX).
int64_t SerialCapacity(const SerialSpec &spec);

}  // namespace quillrecord
