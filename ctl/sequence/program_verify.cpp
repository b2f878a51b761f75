// Program and verify: both stream the same bytes over the range; programming
// writes page by page with internal verify, verifying lets the device compare.
#include <chrono>
#include <cstring>
#include <mutex>

#include "link/com_port.h"
#include "link/frames.h"
#include "link/primitives.h"
#include "platform/handle_core.h"
#include "platform/tick.h"
#include "sequence/sequence_common.h"
#include "sequence/sequences.h"
#include "sequence/stream_range.h"
#include "worker/flash_worker.h"
#include "worker/progress.h"

namespace quill {
namespace {

enum ProgramStep : int32_t { kProgramPrepare = 1, kProgramChunk = 2 };
enum VerifyStep : int32_t { kVerifyFirst = 1, kVerifyMore = 2, kVerifyLast = 3 };

constexpr uint32_t kPageBytes = 256;  // one program or verify chunk

// Devices that answer the verify command with a status frame.
const char *const kStatusFramePrefixes[] = {"QZ40A"};

bool AnswersWithStatusFrame(const FlashHandle *h) {
    for (const char *prefix : kStatusFramePrefixes)
        if (std::strncmp(h->deviceName, prefix, std::strlen(prefix)) == 0) return true;
    return false;
}

uint32_t NextChunkLength(const FlashHandle *h) {
    const uint32_t left = h->totalBytes > h->bytesSent ? h->totalBytes - h->bytesSent : 0;
    return left < kPageBytes ? left : kPageBytes;
}

// Fills the chunk buffer with the next stream bytes and sends them.
int32_t SendNextChunk(FlashHandle *h, uint32_t length) {
    h->chunkLength = length;
    FillProgramChunk(h, h->chunkBuffer, length);
    return DevSendBytes(h, h->chunkBuffer, length);
}

void ForgetProgramTiming(FlashHandle *h) {
    HandleCore &core = CoreOf(h);
    std::lock_guard<std::mutex> lock(core.linkInfoLock);
    core.linkInfo.measuredBytes = 0;
    core.linkInfo.microsPerDataByte = 0;
}

// Times the pages after the first, whose own time holds the start of the
// command, so a caller can tell an adapter that holds every acknowledge.
void TimeProgrammedPage(FlashHandle *h) {
    HandleCore &core = CoreOf(h);
    const auto now = std::chrono::steady_clock::now();
    if (h->bytesSent == h->chunkLength) {
        core.timedFrom = now;
        core.timedFromBytes = h->bytesSent;
        return;
    }
    const uint32_t bytes = h->bytesSent - core.timedFromBytes;
    if (bytes == 0 || h->bytesSent < core.timedFromBytes) return;
    const double us = std::chrono::duration<double, std::micro>(now - core.timedFrom).count() / bytes;
    std::lock_guard<std::mutex> lock(core.linkInfoLock);
    core.linkInfo.measuredBytes = bytes;
    core.linkInfo.microsPerDataByte = us;
}

StepResult VerifyFinished(FlashHandle *h) {
    ComPurgeRx(h);
    Outcome(h).verified = 1;
    ReportProgress(h, 0, 100, 100, "Flash Verifying finish!");
    return Ended(SequenceEnd::kVerified);
}

}  // namespace

StepResult ProgramNextPage(FlashHandle *h) {
    const uint8_t page = static_cast<uint8_t>(h->rangeStart >> 8);
    if (h->bytesSent == 0) h->progressStep = 1;
    if (int32_t code = DevProgramPageStart(h, page)) return Failed(code);

    ReportStreamProgress(h, ProgramProgress(h), "Flash Programming <%d%%>...");
    if (int32_t code = SendNextChunk(h, NextChunkLength(h))) return Failed(code);
    h->bytesSent += h->chunkLength;
    h->rangeStart += h->chunkLength;
    h->stepTick = TickNow();
    h->retryCount = 0;
    if (int32_t code = DevProgramPageEnd(h, page)) return Failed(code);
    TimeProgrammedPage(h);
    if (h->bytesSent < h->totalBytes) {
        h->stepTick = TickNow();
        h->retryCount = 0;
        return GoOn();
    }

    Outcome(h).programmed = 1;
    ReportProgress(h, 0, 100, 100, "Flash Programming finish!");
    ReportProgress(h, 0, 100, 100, "Flash Internal Verify OK!");
    ComPurgeRx(h);
    return Ended(SequenceEnd::kProgrammed);
}

int32_t ProgramStart(FlashHandle *h) {
    if (int32_t code = CheckCommandStart(h)) return code;
    if (int32_t code = SetUpProgramRange(h)) return code;
    // Every pass counts its own tenths: a line is never dropped because an
    // earlier pass last reported the same percentage.
    RestartProgress(ProgramProgress(h));
    ForgetProgramTiming(h);
    ReportProgress(h, 0, 0, 100, "Flash Programming Start...");
    return EnterSequence(h, PRR_STATE_PROGRAM, kProgramPrepare);
}

StepResult ProgramStep(FlashHandle *h) {
    if (h->step == kProgramPrepare) {
        h->step = kProgramChunk;
        return GoOn();
    }
    // One page per pass, so an abort or a refused message is noticed between pages.
    return ProgramNextPage(h);
}

int32_t VerifyStart(FlashHandle *h) {
    if (int32_t code = CheckCommandStart(h)) return code;
    if (int32_t code = SetUpProgramRange(h)) return code;
    ReportProgress(h, 0, 0, 100, "Flash Verifying Start...");
    if (int32_t code = CmdVerifyAdr(h, h->rangeStart, h->rangeEnd)) return code;
    return EnterSequence(h, PRR_STATE_VERIFY, kVerifyFirst);
}

StepResult VerifyStep(FlashHandle *h) {
    const uint16_t firstWait = SlotWord(h, kSlotVerify, 6);
    const uint16_t laterWait = SlotWord(h, kSlotVerify, 1);
    const uint16_t limit = SlotWord(h, kSlotVerify, 4);
    const StreamProgress progress = VerifyProgress(h);
    uint8_t st1 = 0, st2 = 0;

    if (h->step == kVerifyFirst) {
        RestartProgress(progress);
        if (!StepWaitElapsed(h, TimeCodeMs(h, firstWait))) return GoOn();
        const int32_t code =
            AnswersWithStatusFrame(h) ? DevReadStatusFrame(h, &st1, &st2, firstWait) : DevReadStatus(h, &st1, &st2, 1);
        if (code != 0) return Failed(code);
        if (st1 == proto::kAck) {
            const uint32_t chunk = NextChunkLength(h);
            if (chunk >= h->totalBytes) {
                h->step = kVerifyLast;
            } else {
                h->bytesSent += chunk;
                h->rangeStart += chunk;
                h->step = kVerifyMore;
            }
            h->stepTick = TickNow();
            return GoOnUnless(SendNextChunk(h, chunk));
        }
        if (proto::IsRefusal(st1))
            return RetryRefused(h, limit, static_cast<uint32_t>(progress.current),
                                [h] { return CmdVerifyAdr(h, h->rangeStart, h->rangeEnd); });
        return Failed(PRR_STATUS_ILLEGAL_STATUS);
    }

    if (!StepWaitElapsed(h, TimeCodeMs(h, laterWait))) return GoOn();
    if (int32_t code = DevReadStatus(h, &st1, &st2, 2)) return Failed(code);
    if (st2 != proto::kAck) return Failed(PRR_STATUS_VERIFY);
    if (st1 == proto::kAck) {
        if (h->step == kVerifyLast) return VerifyFinished(h);
        ReportStreamProgress(h, progress, "Flash Verifying <%d%%>...");
        const uint32_t chunk = NextChunkLength(h);
        const int32_t code = SendNextChunk(h, chunk);
        h->bytesSent += chunk;
        h->rangeStart += chunk;
        if (h->bytesSent >= h->totalBytes) h->step = kVerifyLast;
        h->stepTick = TickNow();
        h->retryCount = 0;
        return GoOnUnless(code);
    }
    if (proto::IsRefusal(st1))
        return RetryRefused(h, limit, 10, [h] { return DevSendBytes(h, h->chunkBuffer, h->chunkLength); });
    return Failed(PRR_STATUS_ILLEGAL_STATUS);
}

}  // namespace quill
