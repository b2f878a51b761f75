// Blank check, block by block; the hand-over decides what an erase request
// or an autoprocedure does with the verdict.
#include "link/com_port.h"
#include "link/frames.h"
#include "link/primitives.h"
#include "sequence/sequence_common.h"
#include "sequence/sequences.h"
#include "worker/flash_worker.h"
#include "worker/progress.h"

namespace quill {
namespace {

enum BlankCheckStep : int32_t { kChecking = 1 };

int32_t SendBlankCheck(FlashHandle *h, bool wholeRange) {
    if (AddressForm(h)) {
        const uint32_t start = wholeRange ? 0 : GetBlockBound(h, h->currentBlock, 0);
        const uint32_t end = GetBlockBound(h, wholeRange ? h->lastBlock : h->currentBlock, 1);
        return CmdBlankCheckAdr(h, start, end);
    }
    return CmdBlankCheckBlk(h, h->currentBlock);
}

}  // namespace

int32_t BlankCheckStart(FlashHandle *h) {
    if (h->port == PRR_INVALID_PORT) return PRR_STATUS_NOT_CONNECTED;
    if (!(h->device.rangeSet5 & kRangeBlankCheck)) return PRR_STATUS_NOT_SUPPORTED;
    if (int32_t code = CheckCommandStart(h)) return code;
    const bool whole = h->autoRange != 0 || AreaMode(h) == PRR_AREA_CHIP;
    const BlockSelection sel = SelectBlocks(h, whole);
    if (!ValidBlockRange(h, sel.first, sel.last)) return PRR_STATUS_ILLEGAL_PARAMETER;
    ReportProgress(h, 0, 10, 100, "Flash Blank Checking...");
    h->firstBlock = static_cast<uint8_t>(sel.first);
    h->lastBlock = static_cast<uint8_t>(sel.last);
    h->currentBlock = h->firstBlock;
    if (int32_t code = SendBlankCheck(h, whole)) return code;
    return EnterSequence(h, PRR_STATE_BLANK_CHECK, kChecking);
}

StepResult BlankCheckStep(FlashHandle *h) {
    // Only the first answer is waited for; later ones rely on the read time-out.
    if (!StepWaitElapsed(h, TimeCodeMs(h, SlotWord(h, kSlotBlankCheck, 1)))) return GoOn();
    uint8_t st1 = 0, st2 = 0;
    if (int32_t code = DevReadStatus(h, &st1, &st2, 2)) return Failed(code);
    if (st1 == proto::kAck) {
        const int span = h->lastBlock - h->firstBlock + 1;
        const double percent = 100.0 / span * h->currentBlock;
        ReportProgress(h, 0, percent > 100.0 ? 100u : static_cast<uint32_t>(percent), 100,
                       "block <%d> blank check finish.", h->currentBlock);
        if (h->currentBlock < h->lastBlock) {
            ++h->currentBlock;
            return GoOnUnless(SendBlankCheck(h, false));
        }
        ComPurgeRx(h);
        Outcome(h).blankChecked = 1;
        ReportProgress(h, 0, 100, 100, "all block blank check finish.");
        return Ended(SequenceEnd::kAllBlank);
    }
    if (proto::IsRefusal(st1))
        return RetryRefused(h, SlotWord(h, kSlotBlankCheck, 4), 10, [h] { return SendBlankCheck(h, false); });
    Outcome(h).blankChecked = 1;
    Outcome(h).notBlank = 1;
    return Ended(SequenceEnd::kNotBlank);
}

}  // namespace quill
