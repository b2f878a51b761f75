// Host side of the bootloader protocol: one primitive per command. Each
// returns a library status code (0 = success) and works on the handle's port.
#pragma once
#include <cstddef>
#include <cstdint>

#include "quillctl.h"

namespace quill {

// Command-set slots the protocol and the sequences read (slot = position of
// a command type in a command set).
constexpr int kSlotSignature = 7;     // type 0x01 (NV12): word 12 = data read time code
constexpr int kSlotBlankCheck = 8;    // type 0x02 (L4): word 1 wait, word 4 retry limit
constexpr int kSlotErase = 9;         // type 0x03 (L12): word 1 wait
constexpr int kSlotProgram = 10;      // type 0x04 (L10)
constexpr int kSlotVerify = 11;       // type 0x05 (L6): word 1 later wait, word 4 retry limit, word 6 first wait
constexpr int kSlotSecurity = 12;     // type 0x06 (LL9): word 1 second wait, word 4 retry limit, word 9 first wait
constexpr int kSlotChecksum = 13;     // type 0x07 (LL2): word 1 wait, word 2 read time code
constexpr int kSlotLinkReset = 19;    // type 0x0F (W12): word 10 = reset repeat word
constexpr int kSlotEraseTimes = 3;    // type 0x13 (TIMES): last word = erase retry limit

constexpr uint16_t kRetryForever = 0xFFFF;   // retry limit meaning "poll without limit"
constexpr uint32_t kTimeCodeCeilingMs = 600000;  // longest wait a time code can ask for (10 min)

const CommandSlot &SelectedSlot(const FlashHandle *h, int slot);

// Oscillator clock in MHz: frequency x multiplier of the last reset.
double ClockMHz(const FlashHandle *h);
// True when the clock can turn time codes into milliseconds.
bool ClockUsable(const FlashHandle *h);

// Time code (three decimal digits and a decimal exponent, counting clock
// cycles) in milliseconds at `clockMHz`, truncated. A clock that is zero,
// negative or not finite, and any result beyond the ceiling, give the ceiling.
uint32_t TimeCodeToMs(uint16_t code, double clockMHz);
uint32_t TimeCodeMs(const FlashHandle *h, uint16_t code);

// Send-only primitives (0 or 8).
int32_t CmdSend3(FlashHandle *h, uint8_t code, uint8_t d0, uint8_t d1, uint8_t d2);
int32_t CmdChipEraseBlk(FlashHandle *h);
int32_t CmdBlockEraseBlk(FlashHandle *h, uint8_t block);
int32_t CmdBlankCheckBlk(FlashHandle *h, uint8_t block);
int32_t CmdChipEraseAdr(FlashHandle *h, uint32_t start, uint32_t end);
int32_t CmdBlockEraseAdr(FlashHandle *h, uint32_t start, uint32_t end);
int32_t CmdBlankCheckAdr(FlashHandle *h, uint32_t start, uint32_t end);
int32_t CmdVerifyAdr(FlashHandle *h, uint32_t start, uint32_t end);
int32_t CmdChecksum(FlashHandle *h, uint32_t start, uint32_t end);
int32_t CmdSecurityStart(FlashHandle *h);

// Status answer: four ignored bytes, ST1, and ST2 when count is 2.
int32_t DevReadStatus(FlashHandle *h, uint8_t *st1, uint8_t *st2, int count);
// Status frame: ignored byte, count n, n statuses, two ignored bytes. A count
// of 0 or above 2 is read to its end and returns 13.
int32_t DevReadStatusFrame(FlashHandle *h, uint8_t *st1, uint8_t *st2, uint16_t timeCode);
// Two bytes, delivered swapped (second byte first).
int32_t DevReadWord(FlashHandle *h, uint8_t *dest, uint16_t timeCode);
// Each byte with its acknowledgement: 0, 18 on a write failure, 1 on any other refusal.
int32_t DevSendBytes(FlashHandle *h, const uint8_t *bytes, size_t count);
// The reset handshake: 0, 12 when the device did not answer ready (one
// attempt unless the repeat word asks for more), or a serial code.
int32_t DevResetCommand(FlashHandle *h);
// Signature data frame into `dest` (at least 256 bytes).
int32_t DevReadSignature(FlashHandle *h, uint8_t *dest);
// Firmware version word into dest[0..1].
int32_t DevReadVersion(FlashHandle *h, uint8_t *dest);

// A program page in three parts, so the caller can report and count between
// them: the write command and its status (0, 18 when refused, or a serial
// code); then the bytes (DevSendBytes); then the closing acknowledgement (8
// when it is not 0x06) and the internal verify (18 when either status is not
// 0x06).
int32_t DevProgramPageStart(FlashHandle *h, uint8_t page);
int32_t DevProgramPageEnd(FlashHandle *h, uint8_t page);

}  // namespace quill
