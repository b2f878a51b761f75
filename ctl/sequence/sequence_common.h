// What the sequences share: the checks every device command starts with,
// block selections, the retry bookkeeping.
#pragma once
#include <cstdint>

#include "quillctl.h"

namespace quill {

constexpr uint8_t kOptBlankFirst = 0x01;
constexpr uint8_t kOptVerify = 0x02;
constexpr uint8_t kOptSecurity = 0x04;
constexpr uint8_t kOptChecksum = 0x08;
constexpr uint8_t kRangeBlankCheck = 0x02;  // rangeSet5: the device can blank-check
constexpr uint32_t kConnectWaitMs = 2000;   // the target needs this long to enter its bootloader

// 14 without an open port, 3 when the oscillator clock cannot time the
// device's waits, else 0.
int32_t CheckCommandStart(const FlashHandle *h);

inline bool AddressForm(const FlashHandle *h) { return (h->device.parseFlags & PRR_PARSE_ADDRESS_FORM) != 0; }
inline int AreaMode(const FlashHandle *h) { return h->area.mode & 0xFF; }

// A block range of the device: first <= last < blockCount. False when the
// device has no block table or the numbers leave it.
bool ValidBlockRange(const FlashHandle *h, int first, int last);

// The blocks a command covers: the whole device for chip mode (or `whole`),
// else the area record's first..last.
struct BlockSelection {
    int first;
    int last;
};
BlockSelection SelectBlocks(const FlashHandle *h, bool whole);

// Counts one refusal. Reports "retrying..." at `percent` for the first and
// "retry count <%d>" when the limit is reached; true when it is.
bool RetryLimitReached(FlashHandle *h, uint16_t limit, uint32_t percent);

// A start operation's last act: the worker now runs `state`'s step from
// `step`, timing from now, with no refusals counted yet. Returns 0.
int32_t EnterSequence(FlashHandle *h, int32_t state, int32_t step = 1);

// 16-bit value of a command-set slot word (words are counted from 1).
uint16_t SlotWord(const FlashHandle *h, int slot, int word);

}  // namespace quill
