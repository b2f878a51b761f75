// Bootloader command frames and answer bytes. Frames are built by pure
// functions so tests compare them byte for byte.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace quill::proto {

// Command codes.
constexpr uint8_t kCmdVerify = 0x13;          // verify, address form
constexpr uint8_t kCmdInternalVerify = 0x19;  // internal verify of a page / of the security data
constexpr uint8_t kCmdChipErase = 0x20;
constexpr uint8_t kCmdBlockErase = 0x22;
constexpr uint8_t kCmdEraseCheck = 0x30;      // check after an erase
constexpr uint8_t kCmdBlankCheck = 0x32;
constexpr uint8_t kCmdProgram = 0x40;         // program a page; unit 0x80: security data
constexpr uint8_t kCmdChecksum = 0xB0;
constexpr uint8_t kCmdSignature = 0xC0;
constexpr uint8_t kCmdVersion = 0xC5;

constexpr uint8_t kLineStart = 0x55;                            // sent once while the target enters its bootloader
constexpr std::array<uint8_t, 4> kResetBytes{0x01, 0x02, 0x03, 0xFF};  // reset command, one write each
constexpr uint32_t kResetBytePauseMs = 10;                      // pause after each reset byte
constexpr size_t kResetAnswerLength = 5;
constexpr uint8_t kResetAnswerOk = 0x01;                        // 5th byte of a good reset answer

// Status bytes.
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kBusy = 0x07;
constexpr uint8_t kRefused = 0x15;
constexpr uint8_t kNotErased = 0x1A;
constexpr uint8_t kWriteFailFirst = 0x1D;
constexpr uint8_t kWriteFailLast = 0x1F;
constexpr uint8_t kFrameEnd = 0x03;  // last byte of a data frame

constexpr uint8_t kSecurityUnit = 0x80;  // unit of the security write frames
constexpr uint8_t kFiller = 0x00;        // filler of fixed-length frames

// Frame lengths on the wire.
constexpr size_t kNoDataFrameLength = 5;
constexpr size_t kUnitFrameLength = 4;
constexpr size_t kAddressFrameLength = 11;

// Read time-out constants (ms).
constexpr uint32_t kStatusReadMs = 100;    // each byte of a status answer
constexpr uint32_t kAckIgnoredMs = 2;      // first byte of a per-byte acknowledgement
constexpr uint32_t kAckStatusMs = 100;     // status byte of a per-byte acknowledgement

constexpr size_t kStatusLeadBytes = 4;  // ignored bytes before ST1 in a status answer

struct Frame {
    std::array<uint8_t, kAddressFrameLength> bytes{};
    size_t length = 0;
};

inline bool IsRefusal(uint8_t st) { return st == kBusy || st == kRefused; }
inline bool IsWriteFailure(uint8_t st) { return st >= kWriteFailFirst && st <= kWriteFailLast; }

// code, unit, o1, o2 (unit form, 4 bytes)
Frame UnitFrame(uint8_t code, uint8_t unit, uint8_t o1 = 0x00, uint8_t o2 = 0xFF);
// code, start (3 bytes, MSB first), end (3 bytes), filler to 11 bytes
Frame AddressFrame(uint8_t code, uint32_t start, uint32_t end);
// code and four filler bytes
Frame NoDataFrame(uint8_t code);

// Writes code and data into `dest` and nothing else.
void BuildCommandFrame(uint8_t *dest, uint8_t code, const uint8_t *data, size_t length);

// 16-bit checksum of a byte stream, as the device computes it.
class StreamChecksum {
public:
    void Add(uint8_t b) {
        if (first_) {
            value_ = b;
            first_ = false;
            return;
        }
        const bool low = value_ & 1u;
        value_ = static_cast<uint16_t>(value_ >> 1);
        if (low) value_ ^= 0x1B00;
        value_ ^= b;
    }
    uint16_t value() const { return value_; }

private:
    uint16_t value_ = 0;
    bool first_ = true;
};

}  // namespace quill::proto
