// What the sequences share: the checks every device command starts with,
// block selections and bounds, the refusal and retry bookkeeping.
#pragma once
#include <cstdint>

#include "quillctl.h"
#include "link/com_port.h"
#include "link/primitives.h"
#include "sequence/handover.h"
#include "worker/flash_worker.h"

namespace quill {

constexpr uint8_t kRangeBlankCheck = 0x02;  // rangeSet5: the device can blank-check
constexpr uint32_t kConnectWaitMs = 2000;   // the target needs this long to enter its bootloader
constexpr uint32_t kNoBlockBound = 0xFFFFFFFF;  // FindBlockBound for an address in no block

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

// Bounds of blocks: which == 1 gives the end address, else the start.
uint32_t GetBlockBound(const FlashHandle *h, int index, int which);
uint32_t FindBlockBound(const FlashHandle *h, uint32_t address, int which);

// What a step returns: it goes on, its sequence ended (for the hand-over to
// follow), or it failed with a status code (the worker ends the command).
constexpr StepResult GoOn() { return StepResult::GoOn(); }
constexpr StepResult Ended(SequenceEnd end) { return StepResult::Ended(static_cast<int32_t>(end)); }
constexpr StepResult Failed(int32_t code) { return StepResult::Failed(code); }
// A primitive's code: 0 goes on, anything else fails.
constexpr StepResult GoOnUnless(int32_t code) { return StepResult::From(code); }

// Counts one refusal: reports "retrying..." at `percent` for the first, and
// at the limit `limitText` (default "retry count <n>"), ends the sequence and
// returns true.
bool RetryLimitReached(FlashHandle *h, uint16_t limit, uint32_t percent, const char *limitText = nullptr);

// The device refused (busy): with the limit 0xFFFF read again next pass;
// else count it, and below the limit discard the input and `resend`. Goes
// on, fails with 12 at the limit, or with the resend's code.
template <typename Resend>
StepResult RetryRefused(FlashHandle *h, uint16_t limit, uint32_t percent, Resend resend) {
    if (limit == kRetryForever) return GoOn();  // the device sends a fresh status; read it next pass
    if (RetryLimitReached(h, limit, percent)) return Failed(PRR_STATUS_RETRY_OVER);
    ComPurgeRx(h);
    return GoOnUnless(resend());
}

// A start operation's last act: the worker now runs `state`'s step from
// `step`, timing from now, with no refusals counted yet. Returns 0.
int32_t EnterSequence(FlashHandle *h, int32_t state, int32_t step = 1);

// 16-bit value of a command-set slot word (words are counted from 1).
uint16_t SlotWord(const FlashHandle *h, int slot, int word);

}  // namespace quill
