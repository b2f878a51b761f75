#include "link/primitives.h"

#include <cmath>

#include "link/com_port.h"
#include "link/frames.h"
#include "platform/tick.h"
#include "prm/prm_text.h"

namespace quill {
namespace {

using namespace proto;

int32_t SendFrame(FlashHandle *h, const Frame &f) { return ComWrite(h, f.bytes.data(), f.length); }

// Frames whose code comes in unit and address form.
int32_t SendUnit(FlashHandle *h, uint8_t code, uint8_t unit) { return SendFrame(h, UnitFrame(code, unit)); }
int32_t SendAddress(FlashHandle *h, uint8_t code, uint32_t start, uint32_t end) {
    return SendFrame(h, AddressFrame(code, start, end));
}

// Reads `count` bytes one ComRead each, so every byte gets its own time-out.
int32_t ReadBytewise(FlashHandle *h, uint8_t *dest, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        int32_t code = ComRead(h, dest + i, 1);
        if (code != 0) return code;
    }
    return 0;
}

// Sent or refused: the status byte after a signature or version request.
int32_t RequestAnswerStatus(FlashHandle *h, uint8_t command) {
    int32_t code = SendFrame(h, NoDataFrame(command));
    if (code != 0) return code;
    uint8_t st1 = 0, st2 = 0;
    code = DevReadStatus(h, &st1, &st2, 1);
    if (code != 0) return code;
    if (IsRefusal(st1)) return PRR_STATUS_RETRY_OVER;
    if (st1 != kAck) return PRR_STATUS_ILLEGAL_STATUS;
    return 0;
}

uint16_t SignatureTimeCode(const FlashHandle *h) {
    return SelectedSlot(h, kSlotSignature).payload.nv12.words[11];
}

}  // namespace

const CommandSlot &SelectedSlot(const FlashHandle *h, int slot) {
    int set = h->commandSet;
    if (set < 0 || set >= PRR_COMMAND_SETS) set = 0;
    return h->device.commandSets[set][slot];
}

double ClockMHz(const FlashHandle *h) { return h->reset.frequency * h->reset.multiplier; }

bool ClockUsable(const FlashHandle *h) {
    const double c = ClockMHz(h);
    return std::isfinite(c) && c > 0.0;
}

uint32_t TimeCodeToMs(uint16_t code, double clockMHz) {
    if (!std::isfinite(clockMHz) || clockMHz <= 0.0) return kTimeCodeCeilingMs;
    const double cycles = DecimalDigits3(code);
    const double ms = cycles * ((double(PowerOfTen(code & 15u)) / clockMHz) * 0.001);
    if (!(ms < double(kTimeCodeCeilingMs))) return kTimeCodeCeilingMs;
    return static_cast<uint32_t>(ms);
}

uint32_t TimeCodeMs(const FlashHandle *h, uint16_t code) { return TimeCodeToMs(code, ClockMHz(h)); }

int32_t CmdSend3(FlashHandle *h, uint8_t code, uint8_t d0, uint8_t d1, uint8_t d2) {
    return SendFrame(h, UnitFrame(code, d0, d1, d2));
}
int32_t CmdChipEraseBlk(FlashHandle *h) {
    return SendUnit(h, kCmdChipErase, static_cast<uint8_t>(h->device.blockCount - 1));
}
int32_t CmdBlockEraseBlk(FlashHandle *h, uint8_t block) { return SendUnit(h, kCmdBlockErase, block); }
int32_t CmdBlankCheckBlk(FlashHandle *h, uint8_t block) { return SendUnit(h, kCmdBlankCheck, block); }
int32_t CmdChipEraseAdr(FlashHandle *h, uint32_t s, uint32_t e) { return SendAddress(h, kCmdChipErase, s, e); }
int32_t CmdBlockEraseAdr(FlashHandle *h, uint32_t s, uint32_t e) { return SendAddress(h, kCmdBlockErase, s, e); }
int32_t CmdBlankCheckAdr(FlashHandle *h, uint32_t s, uint32_t e) { return SendAddress(h, kCmdBlankCheck, s, e); }
int32_t CmdVerifyAdr(FlashHandle *h, uint32_t s, uint32_t e) { return SendAddress(h, kCmdVerify, s, e); }
int32_t CmdChecksum(FlashHandle *h, uint32_t, uint32_t end) {
    // The device sums from the bottom of its flash: the start is not sent.
    return SendUnit(h, kCmdChecksum, static_cast<uint8_t>(end >> 8));
}
int32_t CmdSecurityStart(FlashHandle *h) { return CmdSend3(h, kCmdProgram, kSecurityUnit, 0x00, 0x00); }

int32_t DevReadStatus(FlashHandle *h, uint8_t *st1, uint8_t *st2, int count) {
    ComSetReadTimeout(h, kStatusReadMs);
    uint8_t answer[kStatusLeadBytes + 2] = {};
    const size_t n = kStatusLeadBytes + (count == 2 ? 2 : 1);
    int32_t code = ReadBytewise(h, answer, n);
    if (code != 0) return code;
    *st1 = answer[kStatusLeadBytes];
    if (count == 2) *st2 = answer[kStatusLeadBytes + 1];
    return 0;
}

int32_t DevReadStatusFrame(FlashHandle *h, uint8_t *st1, uint8_t *st2, uint16_t timeCode) {
    ComSetDeviceWaitTimeout(h, TimeCodeMs(h, timeCode));
    uint8_t head[2];
    int32_t code = ComRead(h, head, 2);
    if (code != 0) return code;
    const size_t n = head[1];
    uint8_t rest[255 + 2];
    code = ComRead(h, rest, n + 2);
    if (code != 0) return code;
    // We never need more than two statuses, and a frame without one says nothing.
    if (n == 0 || n > 2) return PRR_STATUS_ILLEGAL_STATUS;
    *st1 = rest[0];
    *st2 = n == 1 ? rest[0] : rest[1];
    return 0;
}

int32_t DevReadWord(FlashHandle *h, uint8_t *dest, uint16_t timeCode) {
    ComSetDeviceWaitTimeout(h, TimeCodeMs(h, timeCode));
    uint8_t w[2];
    int32_t code = ComRead(h, w, 2);
    if (code != 0) return code;
    dest[0] = w[1];
    dest[1] = w[0];
    return 0;
}

int32_t DevSendBytes(FlashHandle *h, const uint8_t *bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        int32_t code = ComWrite(h, bytes + i, 1);
        if (code != 0) return code;
        uint8_t ignored = 0, status = 0;
        if ((code = ComReadByte(h, &ignored, kAckIgnoredMs)) != 0) return code;
        if ((code = ComReadByte(h, &status, kAckStatusMs)) != 0) return code;
        if (status == kAck) continue;
        return IsWriteFailure(status) ? PRR_STATUS_FLASH_WRITE : PRR_STATUS_NOT_INITIALIZED;
    }
    return 0;
}

int32_t DevResetCommand(FlashHandle *h) {
    ComPurgeRx(h);
    const uint16_t repeat = SelectedSlot(h, kSlotLinkReset).payload.w12.words[9];
    for (;;) {
        // A device that always has its refusal ready never makes a read wait,
        // so a close or an abort must be looked for here.
        if (ComInterrupted(h)) return PRR_STATUS_COM_READ;
        for (uint8_t b : kResetBytes) {
            int32_t code = ComWrite(h, &b, 1);
            if (code != 0) return code;
            PauseMs(kResetBytePauseMs);
        }
        uint8_t answer[kResetAnswerLength];
        int32_t code = ComRead(h, answer, sizeof answer);
        if (code != 0) return code;
        if (answer[kResetAnswerLength - 1] == kResetAnswerOk) return 0;
        if (repeat != kRetryForever) return PRR_STATUS_RETRY_OVER;
    }
}

int32_t DevReadSignature(FlashHandle *h, uint8_t *dest) {
    int32_t code = RequestAnswerStatus(h, kCmdSignature);
    if (code != 0) return code;
    ComSetDeviceWaitTimeout(h, TimeCodeMs(h, SignatureTimeCode(h)));
    uint8_t head[2];
    if ((code = ComRead(h, head, 2)) != 0) return code;
    const size_t n = head[1] == 0 ? 256 : head[1];
    if ((code = ComRead(h, dest, n)) != 0) return code;
    uint8_t tail[2];
    if ((code = ComRead(h, tail, 2)) != 0) return code;
    return tail[1] == kFrameEnd ? 0 : PRR_STATUS_DATA_SEQUENCE;
}

int32_t DevReadVersion(FlashHandle *h, uint8_t *dest) {
    int32_t code = RequestAnswerStatus(h, kCmdVersion);
    if (code != 0) return code;
    return DevReadWord(h, dest, SignatureTimeCode(h));
}

int32_t DevProgramPageStart(FlashHandle *h, uint8_t page) {
    (void)CmdSend3(h, kCmdProgram, page, 0x00, 0xFF);
    uint8_t st1 = 0, st2 = 0;
    if (int32_t code = DevReadStatus(h, &st1, &st2, 1)) return code;
    return st1 == kAck ? 0 : PRR_STATUS_FLASH_WRITE;
}

int32_t DevProgramPageEnd(FlashHandle *h, uint8_t page) {
    uint8_t ack = 0;
    if (int32_t code = ComReadByte(h, &ack, kAckStatusMs)) return code;
    if (ack != kAck) return PRR_STATUS_COM_WRITE;
    (void)CmdSend3(h, kCmdInternalVerify, page, 0x00, 0xFF);
    uint8_t st1 = 0, st2 = 0;
    if (int32_t code = DevReadStatus(h, &st1, &st2, 2)) return code;
    return st1 == kAck && st2 == kAck ? 0 : PRR_STATUS_FLASH_WRITE;
}

}  // namespace quill
