#include "sequence/handover.h"

#include <mutex>

#include "platform/process_locks.h"
#include "sequence/sequence_common.h"
#include "worker/progress.h"

namespace quill {
namespace {

enum class When { kEpv, kEraseAfterBlank, kAlways, kOption, kOwnOption };

struct Rule {
    SequenceEnd end;
    When when;
    uint8_t option;  // for kOption / kOwnOption
    int32_t next;
    const char *note;
};

// Tried top to bottom within one sequence end; the first that fits applies.
// kOwnOption rules apply only to a sequence that is not a command of its own.
constexpr Rule kRules[] = {
    {SequenceEnd::kAllBlank, When::kEpv, 0, PRR_STATE_PROGRAM, "skip erase."},
    {SequenceEnd::kAllBlank, When::kEraseAfterBlank, 0, PRR_STATE_IDLE, "no need erase."},
    {SequenceEnd::kNotBlank, When::kEpv, 0, PRR_STATE_ERASE, "not blank, then erase."},
    {SequenceEnd::kNotBlank, When::kEraseAfterBlank, 0, PRR_STATE_ERASE, nullptr},
    {SequenceEnd::kNotBlank, When::kAlways, 0, PRR_STATE_IDLE, "not blank."},
    {SequenceEnd::kErased, When::kEpv, 0, PRR_STATE_PROGRAM, nullptr},
    {SequenceEnd::kProgrammed, When::kOption, PRR_OPT_VERIFY, PRR_STATE_VERIFY, nullptr},
    {SequenceEnd::kProgrammed, When::kOption, PRR_OPT_CHECKSUM, PRR_STATE_CHECKSUM, nullptr},
    {SequenceEnd::kProgrammed, When::kOption, PRR_OPT_SECURITY, PRR_STATE_SECURITY, nullptr},
    {SequenceEnd::kVerified, When::kOwnOption, PRR_OPT_CHECKSUM, PRR_STATE_CHECKSUM, nullptr},
    {SequenceEnd::kVerified, When::kOwnOption, PRR_OPT_SECURITY, PRR_STATE_SECURITY, nullptr},
    {SequenceEnd::kChecksumMatched, When::kOwnOption, PRR_OPT_SECURITY, PRR_STATE_SECURITY, nullptr},
};

bool Fits(const Rule &r, const HandOverContext &c) {
    switch (r.when) {
    case When::kEpv: return c.epvRunning;
    case When::kEraseAfterBlank: return c.eraseAfterBlank;
    case When::kAlways: return true;
    case When::kOption: return (c.options & r.option) != 0;
    case When::kOwnOption: return !c.followOn && (c.options & r.option) != 0;
    }
    return false;
}

}  // namespace

HandOver NextAfter(SequenceEnd end, const HandOverContext &c) {
    for (const Rule &r : kRules)
        if (r.end == end && Fits(r, c)) return {r.next, r.note};
    return {PRR_STATE_IDLE, nullptr};
}

int32_t NextSequence(FlashHandle *h, int32_t endCode) {
    const auto end = static_cast<SequenceEnd>(endCode);
    HandOverContext c;
    c.options = h->commandOptions;
    c.epvRunning = h->epvRunning != 0;
    c.eraseAfterBlank = h->eraseAfterBlank != 0;
    c.followOn = h->followOn != 0;
    const HandOver next = NextAfter(end, c);
    if (next.note != nullptr) ReportProgress(h, 0, 100, 100, "%s", next.note);
    // A blank check that an erase request began with has done its part.
    if (end == SequenceEnd::kAllBlank || end == SequenceEnd::kNotBlank) h->eraseAfterBlank = 0;
    return next.next;
}

void EndHandOver(FlashHandle *h) {
    h->epvRunning = 0;
    h->eraseAfterBlank = 0;
    h->followOn = 0;
}

int32_t FirstSequence(FlashHandle *h, uint32_t message) {
    switch (message) {
    case PRR_MSG_RESET: return PRR_STATE_CONNECT;
    case PRR_MSG_AUTOPROCEDURE:
    case PRR_MSG_ERASE: {
        // A device that can blank-check, with "blank check first" chosen,
        // begins with a blank check and erases only when needed.
        bool blankFirst;
        {
            std::lock_guard<std::mutex> lock(FlashRingLock());
            blankFirst = (h->device.rangeSet5 & kRangeBlankCheck) && (h->commandOptions & PRR_OPT_BLANK_CHECK_FIRST);
        }
        if (message == PRR_MSG_AUTOPROCEDURE) {
            h->epvRunning = 1;
        } else if (blankFirst) {
            h->eraseAfterBlank = 1;
        }
        return blankFirst ? PRR_STATE_BLANK_CHECK : PRR_STATE_ERASE;
    }
    case PRR_MSG_BLANK_CHECK: return PRR_STATE_BLANK_CHECK;
    case PRR_MSG_PROGRAM: return PRR_STATE_PROGRAM;
    case PRR_MSG_VERIFY: h->followOn = 1; return PRR_STATE_VERIFY;
    case PRR_MSG_SECURITY: return PRR_STATE_SECURITY;
    case PRR_MSG_CHECKSUM: h->followOn = 1; return PRR_STATE_CHECKSUM;
    case PRR_MSG_SIGNATURE: return PRR_STATE_SIGNATURE;
    default: return -1;
    }
}

}  // namespace quill
