// Security flags, checksum compare and signature read.
#include <cstdio>
#include <cstring>

#include "link/com_port.h"
#include "link/frames.h"
#include "link/primitives.h"
#include "platform/tick.h"
#include "sequence/sequence_common.h"
#include "sequence/sequences.h"
#include "sequence/stream_range.h"
#include "worker/flash_worker.h"
#include "worker/progress.h"

namespace quill {
namespace {

enum SecurityStep : int32_t { kSecurityFlagSent = 1, kSecurityVerifying = 2 };
enum ChecksumStep : int32_t { kChecksumStatus = 1, kChecksumWord = 2 };
enum SignatureStep : int32_t { kSignatureRead = 1 };

constexpr uint32_t kSecurityAckMs = 100;  // the acknowledgement after the security byte

}  // namespace

int32_t SecurityStart(FlashHandle *h) {
    if (int32_t code = CheckCommandStart(h)) return code;
    ReportProgress(h, 0, 0, 100, "Security Flag Set Start...");
    if (int32_t code = CmdSecurityStart(h)) return code;
    return EnterSequence(h, PRR_STATE_SECURITY, kSecurityFlagSent);
}

StepResult SecurityStep(FlashHandle *h) {
    const uint16_t limit = SlotWord(h, kSlotSecurity, 4);
    uint8_t st1 = 0, st2 = 0;
    if (h->step == kSecurityFlagSent) {
        if (!StepWaitElapsed(h, TimeCodeMs(h, SlotWord(h, kSlotSecurity, 9)))) return GoOn();
        if (int32_t code = DevReadStatus(h, &st1, &st2, 1)) return Failed(code);
        if (st1 == proto::kAck) {
            ReportProgress(h, 0, 30, 100, "Send Security Flag...");
            (void)DevSendBytes(h, &h->securityByte, 1);
            uint8_t ack = 0;
            if (int32_t code = ComReadByte(h, &ack, kSecurityAckMs)) return Failed(code);
            if (ack != proto::kAck) return GoOn();  // read a fresh status next pass
            if (int32_t code = CmdSend3(h, proto::kCmdInternalVerify, proto::kSecurityUnit, 0x00, 0x00))
                return Failed(code);
            h->stepTick = TickNow();
            h->retryCount = 0;
            h->step = kSecurityVerifying;
            return GoOn();
        }
        if (proto::IsRefusal(st1)) return RetryRefused(h, limit, 30, [h] { return CmdSecurityStart(h); });
        return Failed(PRR_STATUS_ILLEGAL_STATUS);
    }
    if (!StepWaitElapsed(h, TimeCodeMs(h, SlotWord(h, kSlotSecurity, 1)))) return GoOn();
    if (int32_t code = DevReadStatus(h, &st1, &st2, 2)) return Failed(code);
    if (st1 == proto::kAck) {
        ReportProgress(h, 0, 60, 100, "Internal Verifying...");
        h->stepTick = TickNow();
        h->retryCount = 0;
        if (st2 != proto::kAck) return Failed(PRR_STATUS_INTERNAL_VERIFY);
        Outcome(h).securitySet = 1;
        ReportProgress(h, 0, 100, 100, "Security Flag Setting finish!");
        ComPurgeRx(h);
        return Ended(SequenceEnd::kDone);
    }
    if (proto::IsRefusal(st1)) return RetryRefused(h, limit, 60, [h] { return DevSendBytes(h, &h->securityByte, 1); });
    return Failed(PRR_STATUS_ILLEGAL_STATUS);
}

int32_t ChecksumStart(FlashHandle *h) {
    if (int32_t code = CheckCommandStart(h)) return code;
    if (int32_t code = SetUpChecksumRange(h)) return code;
    ReportProgress(h, 0, 0, 100, "CheckSum Read Start...");
    if (int32_t code = CmdChecksum(h, h->rangeStart, h->rangeEnd)) return code;
    return EnterSequence(h, PRR_STATE_CHECKSUM, kChecksumStatus);
}

StepResult ChecksumStep(FlashHandle *h) {
    if (h->step == kChecksumStatus) {
        if (!StepWaitElapsed(h, TimeCodeMs(h, SlotWord(h, kSlotChecksum, 1)))) return GoOn();
        uint8_t st1 = 0, st2 = 0;
        if (int32_t code = DevReadStatus(h, &st1, &st2, 1)) return Failed(code);
        if (st1 == proto::kAck) {
            h->stepTick = TickNow();
            h->step = kChecksumWord;
            return GoOn();
        }
        return Failed(proto::IsRefusal(st1) ? PRR_STATUS_RETRY_OVER : PRR_STATUS_ILLEGAL_STATUS);
    }
    uint8_t word[2];
    if (int32_t code = DevReadWord(h, word, SlotWord(h, kSlotChecksum, 2))) return Failed(code);
    // The word reader swaps; the device sends the low byte first.
    const uint8_t d0 = word[1], d1 = word[0];
    ReportProgress(h, 0, 100, 100, "DEVICE CHECK SUM: [%02X%02X]", d1, d0);
    ComPurgeRx(h);
    proto::StreamChecksum sum;
    while (h->bytesSent < h->totalBytes) {
        const uint32_t left = h->totalBytes - h->bytesSent;
        const uint32_t n = left < 256 ? left : 256;
        FillProgramChunk(h, h->chunkBuffer, n);
        for (uint32_t i = 0; i < n; ++i) sum.Add(h->chunkBuffer[i]);
        h->bytesSent += n;
    }
    const uint16_t value = sum.value();
    ReportProgress(h, 0, 100, 100, "FILE CHECK SUM: [%04X]", value);
    PRROutcome &o = Outcome(h);
    o.checksumCompared = 1;
    o.deviceChecksum = static_cast<uint16_t>((d1 << 8) | d0);
    o.fileChecksum = value;
    o.checksumEqual = o.deviceChecksum == value;
    if (o.checksumEqual) {
        ReportProgress(h, 0, 100, 100, "CHECKSUM COMPARE: OK");
        return Ended(SequenceEnd::kChecksumMatched);
    }
    // A mismatch is reported, not failed: callers read the outcome.
    ReportProgress(h, 0, 100, 100, "CHECKSUM COMPARE: ERROR");
    return Ended(SequenceEnd::kChecksumDiffers);
}

int32_t SignatureStart(FlashHandle *h) {
    if (int32_t code = CheckCommandStart(h)) return code;
    ReportProgress(h, 0, 0, 100, "Reading Flash Signature...");
    if (int32_t code = DevReadSignature(h, h->signatureBuffer)) return code;
    return EnterSequence(h, PRR_STATE_SIGNATURE, kSignatureRead);
}

StepResult SignatureStep(FlashHandle *h) {
    const uint8_t *sig = h->signatureBuffer;
    const int n = (h->device.parseFlags & PRR_PARSE_ADDRESS_FORM) ? 4 : 3;
    ReportProgress(h, 0, 20, 100, "ID:          0x%02x 0x%02x 0x%02x", sig[0], sig[1], sig[2]);
    PRROutcome &o = Outcome(h);
    std::memcpy(o.deviceId, sig, sizeof o.deviceId);
    char name[11] = {};
    for (int i = 0; i < 10; ++i) name[i] = static_cast<char>(sig[3 + n + i] & 0x7F);
    if (h->device.parseFlags & PRR_PARSE_NAME_MASKED) {
        char masked[10] = {};
        std::memcpy(masked, name, 5);
        std::memcpy(masked + std::strlen(masked), "XXXX", 4);
        ReportProgress(h, 0, 50, 100, "NAME:        %s", masked);
        std::snprintf(o.deviceName, sizeof o.deviceName, "%s", masked);
    } else {
        const uint32_t end = (uint32_t(sig[n + 2] & 0x7F) << 14) | (uint32_t(sig[n + 1] & 0x7F) << 7) |
                             uint32_t(sig[n] & 0x7F);
        ReportProgress(h, 0, 30, 100, "END ADDRESS: 0x%08x", end);
        if (!(h->device.parseFlags & PRR_PARSE_ADDRESS_FORM)) {
            ReportProgress(h, 0, 50, 100, "BLK/AREAS:   %d", sig[16]);
            if (sig[16] != h->device.blockCount)
                ReportProgress(h, 0, 50, 100, "WARNING: Invalid BLK/AREAS [%d]", sig[16]);
        }
        ReportProgress(h, 0, 40, 100, "NAME:        %s", name);
        std::snprintf(o.deviceName, sizeof o.deviceName, "%s", name);
    }
    if (int32_t code = DevReadVersion(h, h->versionBuffer)) return Failed(code);
    // The version word arrives as major, then two BCD digits of the minor
    // number; the word reader delivers them swapped.
    const uint8_t major = h->versionBuffer[1], minor = h->versionBuffer[0];
    ReportProgress(h, 0, 100, 100, "F/W    Ver.: %d.%d%d", major, minor >> 4, minor & 15);
    std::snprintf(o.deviceVersion, sizeof o.deviceVersion, "%d.%d%d", major, minor >> 4, minor & 15);
    o.signatureRead = 1;
    ComPurgeRx(h);
    return Ended(SequenceEnd::kDone);
}

}  // namespace quill
