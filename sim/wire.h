// The bootloader's byte protocol seen from the device: command codes, status
// bytes, the frame decoder and the answer encoders. Pure functions, so tests
// can compare frames and answers byte for byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillsim {

using Bytes = std::vector<uint8_t>;

namespace wire {

// Command codes the device understands.
constexpr uint8_t kVerify = 0x13;         // compare streamed data with flash (address form)
constexpr uint8_t kInternalVerify = 0x19; // check the page (or security byte) just written
constexpr uint8_t kChipErase = 0x20;      // erase blocks 0..unit, or an address range
constexpr uint8_t kBlockErase = 0x22;     // erase one block, or an address range
constexpr uint8_t kEraseCheck = 0x30;     // check blocks 0..unit after an erase
constexpr uint8_t kBlankCheck = 0x32;     // blank check; erase check right after an erase
constexpr uint8_t kProgram = 0x40;        // program one 256-byte page (unit 0x80: security)
constexpr uint8_t kChecksum = 0xB0;       // 16-bit checksum from 0 to the end of a page
constexpr uint8_t kSignature = 0xC0;      // signature data frame
constexpr uint8_t kVersion = 0xC5;        // firmware version word

constexpr uint8_t kResetSequence[4] = {0x01, 0x02, 0x03, 0xFF}; // sent one byte at a time
constexpr uint8_t kLineStart = 0x55;       // sent alone when the host brings the line up
constexpr uint8_t kLineStartAnswer = 0xAA; // our one-byte reply to it
constexpr uint8_t kSecurityUnit = 0x80;    // unit of the security write frames (options 00 00)

// Status bytes.
constexpr uint8_t kAck = 0x06;              // accepted, good
constexpr uint8_t kBusy = 0x07;             // busy: ask again
constexpr uint8_t kBusyAlt = 0x15;          // busy, second form
constexpr uint8_t kIllegal = 0x04;          // unknown command or parameters out of range
constexpr uint8_t kVerifyMismatch = 0x0F;   // ST2 of a verify chunk whose data differs
constexpr uint8_t kProtected = 0x10;        // refused: a security flag forbids it
constexpr uint8_t kNotErased = 0x1A;        // cells are not erased (blank and erase checks)
constexpr uint8_t kInternalVerifyFail = 0x1B; // ST2 of 0x19: a cell did not take its value
constexpr uint8_t kWriteFail = 0x1D;        // per-byte ack: the cell cannot be written (0x1D..0x1F)
constexpr uint8_t kResetReady = 0x01;       // fifth byte of the reset answer
constexpr uint8_t kFrameEnd = 0x03;         // last byte of a data frame
constexpr uint8_t kWrongFrameEnd = 0x02;    // what the wrong-end fault puts there instead
constexpr uint8_t kFillerBase = 0xE0;       // ignored answer bytes are 0xE0 + their position

constexpr size_t kNoDataFrameLength = 5;
constexpr size_t kUnitFrameLength = 4;
constexpr size_t kAddressFrameLength = 11;
constexpr size_t kPageSize = 256;

enum class FrameForm { NoData, Unit, Address };

struct Frame {
    uint8_t code = 0;
    FrameForm form = FrameForm::NoData;
    uint8_t unit = 0;   // unit form: block or page number
    uint8_t opt1 = 0;   // unit form option bytes (00 FF, or 00 00 for the security frames)
    uint8_t opt2 = 0;
    uint32_t start = 0; // address form
    uint32_t end = 0;
    Bytes raw;

    bool securityForm() const { return form == FrameForm::Unit && unit == kSecurityUnit && opt1 == 0 && opt2 == 0; }
    bool standardOptions() const { return opt1 == 0x00 && opt2 == 0xFF; }
};

// Length of the frame that begins with head[0], judged from the `have` bytes
// received so far: the total length, 0 while more bytes are needed to decide,
// or std::nullopt for a code the device does not know.
//
// 0x20, 0x22 and 0x32 come in both forms on an address-form device (follow-up
// commands and retries use the unit form). The unit form always carries the
// options 00 FF in bytes 2 and 3; in the address form those bytes are the
// middle and low byte of a block start address, whose low byte is 00.
std::optional<size_t> frameLength(const uint8_t *head, size_t have, bool addressFormDevice);

// Splits a complete frame into its fields.
Frame decodeFrame(const Bytes &raw);

// Readable one-line description of a frame for the transcript.
std::string describeFrame(const Frame &frame);

// Answers.
Bytes statusAnswer(uint8_t st1);                    // 4 ignored bytes, ST1
Bytes statusAnswer(uint8_t st1, uint8_t st2);       // 4 ignored bytes, ST1, ST2
Bytes statusFrame(const Bytes &statuses);           // ignored, count, statuses, 2 ignored
Bytes dataFrame(const Bytes &data, uint8_t endByte = kFrameEnd); // ignored, count (0 = 256), data, ignored, end
Bytes wordAnswer(uint8_t first, uint8_t second);    // two bytes as they go on the wire
Bytes byteAck(uint8_t status);                      // ignored byte, status
Bytes resetAnswer(uint8_t fifth = kResetReady);     // 4 ignored bytes, then 0x01 when ready

// Device checksum over a byte stream: start with the first byte; for each
// further byte shift right by one, fold 0x1B00 in when a 1 fell out, then XOR
// the byte. 0 for an empty stream.
uint16_t checksum(const uint8_t *data, size_t size);

std::string hex(const uint8_t *data, size_t size, size_t limit = 16);
inline std::string hex(const Bytes &b, size_t limit = 16) { return hex(b.data(), b.size(), limit); }

}  // namespace wire
}  // namespace quillsim
