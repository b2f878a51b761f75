// Erase of the chip or of a block range, each erase followed by the device's
// own check; a range still not erased is erased again up to the retry limit.
#include <algorithm>
#include <cstdio>

#include "link/com_port.h"
#include "link/frames.h"
#include "link/primitives.h"
#include "sequence/sequence_common.h"
#include "sequence/sequences.h"
#include "worker/flash_worker.h"
#include "worker/progress.h"

namespace quill {
namespace {

enum EraseStep : int32_t { kErased = 1, kChecked = 2, kChipChecked = 3 };

bool BlockMode(const FlashHandle *h) { return h->autoRange == 0 && AreaMode(h) == PRR_AREA_BLOCK; }

// The device reports the range still not erased: erase again, in block form.
StepResult Retry(FlashHandle *h) {
    const uint16_t limit = SelectedSlot(h, kSlotEraseTimes).payload.times.word7;
    char limitText[48];
    if (h->step == kChecked && BlockMode(h))
        std::snprintf(limitText, sizeof limitText, "block <%d> erase error.", h->currentBlock);
    else
        std::snprintf(limitText, sizeof limitText, "chip erase error.");
    if (RetryLimitReached(h, limit, 10, limitText)) return Failed(PRR_STATUS_RETRY_OVER);
    ComPurgeRx(h);
    const int32_t code = BlockMode(h) ? CmdBlockEraseBlk(h, h->currentBlock) : CmdChipEraseBlk(h);
    h->step = kErased;
    return GoOnUnless(code);
}

StepResult Finished(FlashHandle *h) {
    ComPurgeRx(h);
    Outcome(h).erased = 1;
    return Ended(SequenceEnd::kErased);
}

}  // namespace

int32_t EraseStart(FlashHandle *h) {
    if (int32_t code = CheckCommandStart(h)) return code;
    const bool blockMode = BlockMode(h);
    const BlockSelection sel = SelectBlocks(h, !blockMode);
    if (!ValidBlockRange(h, sel.first, sel.last)) return PRR_STATUS_ILLEGAL_PARAMETER;
    ReportProgress(h, 0, 10, 100, "Flash Erasing...");
    // Chip, area and whole-device erases name the device's last block in
    // their check, so set the range for them too.
    h->firstBlock = static_cast<uint8_t>(sel.first);
    h->lastBlock = static_cast<uint8_t>(sel.last);
    h->currentBlock = h->firstBlock;
    int32_t code;
    if (blockMode) {
        code = AddressForm(h) ? CmdBlockEraseAdr(h, GetBlockBound(h, sel.first, 0), GetBlockBound(h, sel.last, 1))
                              : CmdBlockEraseBlk(h, h->currentBlock);
    } else {
        code = AddressForm(h) ? CmdChipEraseAdr(h, 0, GetBlockBound(h, h->device.blockCount - 1, 1))
                              : CmdChipEraseBlk(h);
    }
    if (code != 0) return code;
    return EnterSequence(h, PRR_STATE_ERASE, kErased);
}

StepResult EraseStep(FlashHandle *h) {
    if (!StepWaitElapsed(h, TimeCodeMs(h, SlotWord(h, kSlotErase, 1)))) return GoOn();
    uint8_t st1 = 0, st2 = 0;
    if (int32_t code = DevReadStatus(h, &st1, &st2, 2)) return Failed(code);
    const bool blockMode = BlockMode(h);
    switch (h->step) {
    case kErased: {
        if (st1 != proto::kAck || st2 != proto::kAck) return Failed(PRR_STATUS_ILLEGAL_STATUS);
        const int32_t code = blockMode ? CmdSend3(h, proto::kCmdBlankCheck, h->currentBlock, 0x00, 0xFF)
                                       : CmdSend3(h, proto::kCmdEraseCheck, h->lastBlock, 0x00, 0xFF);
        if (code != 0) return Failed(code);
        h->step = kChecked;
        return GoOn();
    }
    case kChecked: {
        if (st1 != proto::kAck) return Failed(PRR_STATUS_ILLEGAL_STATUS);
        if (st2 == proto::kNotErased) return Retry(h);
        if (st2 != proto::kAck) return Failed(PRR_STATUS_ILLEGAL_STATUS);
        if (!blockMode) {
            const int32_t code = CmdSend3(h, proto::kCmdBlankCheck, 0x80, 0x00, 0xFF);
            if (code != 0) return Failed(code);
            h->step = kChipChecked;
            return GoOn();
        }
        const int span = h->lastBlock - h->firstBlock + 1;
        const int percent = std::min(static_cast<int>(90.0 / span * (h->currentBlock + 1)), 90) + 10;
        ReportProgress(h, 0, static_cast<uint32_t>(percent), 100, "block <%d> erase finish.", h->currentBlock);
        if (h->currentBlock < h->lastBlock) {
            ++h->currentBlock;
            h->step = kErased;
            return GoOnUnless(CmdBlockEraseBlk(h, h->currentBlock));
        }
        ReportProgress(h, 0, 100, 100, "all block erase finish.");
        return Finished(h);
    }
    case kChipChecked:
        if (st1 == proto::kAck && st2 == proto::kAck) {
            ReportProgress(h, 0, 100, 100, "chip erase finish.");
            return Finished(h);
        }
        if (st1 == proto::kAck && st2 == proto::kNotErased) return Retry(h);
        return Failed(PRR_STATUS_ILLEGAL_STATUS);
    default:
        return Failed(PRR_STATUS_ILLEGAL_STATUS);
    }
}

}  // namespace quill
