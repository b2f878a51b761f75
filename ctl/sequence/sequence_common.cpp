#include "sequence/sequence_common.h"

#include "platform/tick.h"
#include "worker/progress.h"

namespace quill {

int32_t CheckCommandStart(const FlashHandle *h) {
    if (h->port == PRR_INVALID_PORT) return PRR_STATUS_NOT_CONNECTED;
    // A clock of zero, below zero or not a number would turn every device
    // wait into forever: refuse before anything goes to the device.
    if (!ClockUsable(h)) return PRR_STATUS_ILLEGAL_PARAMETER;
    return 0;
}

bool ValidBlockRange(const FlashHandle *h, int first, int last) {
    return h->device.blockTable != nullptr && h->device.blockCount > 0 && first >= 0 && first <= last &&
           last < h->device.blockCount;
}

BlockSelection SelectBlocks(const FlashHandle *h, bool whole) {
    if (whole || AreaMode(h) == PRR_AREA_CHIP) return {0, h->device.blockCount - 1};
    return {h->area.first & 0xFF, h->area.last & 0xFF};
}

uint32_t GetBlockBound(const FlashHandle *h, int index, int which) {
    if (h->device.blockTable == nullptr || index < 0 || index >= h->device.blockCount) return kNoBlockBound;
    const RangeEntry &e = h->device.blockTable[index];
    return which == 1 ? e.end : e.start;
}

uint32_t FindBlockBound(const FlashHandle *h, uint32_t address, int which) {
    if (h->device.blockTable == nullptr) return kNoBlockBound;
    for (int i = 0; i < h->device.blockCount; ++i) {
        const RangeEntry &e = h->device.blockTable[i];
        if (e.start <= address && address <= e.end) return which == 1 ? e.end : e.start;
    }
    return kNoBlockBound;
}

bool RetryLimitReached(FlashHandle *h, uint16_t limit, uint32_t percent, const char *limitText) {
    if (h->retryCount == 0) ReportProgress(h, 0, percent, 100, "retrying...");
    ++h->retryCount;
    // ">=" so that a limit of 0 ends at the first refusal instead of never.
    if (h->retryCount >= limit) {
        if (limitText != nullptr)
            ReportProgress(h, 0, 100, 100, "%s", limitText);
        else
            ReportProgress(h, 0, 100, 100, "retry count <%d>", h->retryCount);
        h->step = 0;
        return true;
    }
    return false;
}

int32_t EnterSequence(FlashHandle *h, int32_t state, int32_t step) {
    h->state = state;
    h->step = step;
    h->stepTick = TickNow();
    h->retryCount = 0;
    return 0;
}

uint16_t SlotWord(const FlashHandle *h, int slot, int word) {
    const CommandSlot &s = SelectedSlot(h, slot);
    switch (slot) {
    case kSlotBlankCheck: return s.payload.l4.words[word - 1];
    case kSlotErase: return s.payload.l12.words[word - 1];
    case kSlotVerify: return s.payload.l6.words[word - 1];
    case kSlotSecurity: return s.payload.ll9.words[word - 1];
    case kSlotChecksum: return s.payload.ll2.words[word - 1];
    default: return 0;
    }
}

}  // namespace quill
