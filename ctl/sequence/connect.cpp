// Connect: the preparing reset opens and configures the port; the second
// reset pulses the control lines, waits for the bootloader and runs the
// reset handshake.
#include <cstring>

#include "link/com_port.h"
#include "link/line_procedures.h"
#include "link/primitives.h"
#include "platform/tick.h"
#include "sequence/sequence_common.h"
#include "sequence/sequences.h"
#include "worker/flash_worker.h"
#include "worker/progress.h"

namespace quill {

namespace {
enum ConnectStep : int32_t { kWait = 1, kPass1 = 2, kPass2 = 3, kPass3 = 4, kAnnounce = 10, kFinal = 13 };
}

int32_t ConnectPrepare(FlashHandle *h) {
    if (int32_t code = LinkOpen(h)) {
        h->state = PRR_STATE_IDLE;
        h->step = 0;
        return code;
    }
    ReportProgress(h, 0, 5, 100, "Flash Resetting...");
    LinkHoldTarget(h);
    ReportProgress(h, 0, 5, 100, "OK.");
    return 0;
}

int32_t ResetHandshake(FlashHandle *h) {
    const int32_t code = DevResetCommand(h);
    // Serial failures never come back as 12: this one is the device saying no.
    if (code == PRR_STATUS_RETRY_OVER) {
        if (h->retryCount == 0) ReportProgress(h, 0, 50, 100, "retrying...");
        ReportProgress(h, 0, 100, 100, "retry count <%d>", h->retryCount);
    }
    return code;
}

int32_t ConnectStart(FlashHandle *h) {
    if (!ClockUsable(h)) return PRR_STATUS_ILLEGAL_PARAMETER;
    if (ResetPhase(h) == PRR_RESET_PREPARE) return ConnectPrepare(h);
    LinkStart(h);
    return EnterSequence(h, PRR_STATE_CONNECT, kWait);
}

StepResult ConnectStep(FlashHandle *h) {
    switch (h->step) {
    case kWait: {
        if (!StepWaitElapsed(h, kConnectWaitMs)) return GoOn();
        ReportProgress(h, 0, 15, 100, "sending reset command...");
        const int32_t code = ResetHandshake(h);
        if (code != 0) return Failed(code);
        h->step = kPass1;
        h->stepTick = TickNow();
        return GoOn();
    }
    case kPass1:
    case kPass2:
        ++h->step;
        return GoOn();
    case kPass3:
        h->step = kAnnounce;
        return GoOn();
    case kAnnounce:
        ReportProgress(h, 0, 75, 100, "OK.");
        h->step = kFinal;
        return GoOn();
    case kFinal: {
        ProgressRecord r{};
        r.state = PRR_STATE_CONNECT;
        r.status = 0;
        r.percent = 100;
        r.percentTotal = 100;
        std::memcpy(r.idBytes, h->signatureBuffer, sizeof r.idBytes);
        std::memset(h->deviceName, 0, sizeof h->deviceName);
        h->versionA = 0;
        h->versionB = 0;
        r.versionA[0] = r.versionA[1] = h->versionA;
        r.versionB[0] = r.versionB[1] = h->versionB;
        Outcome(h).connected = 1;
        AppendRecord(h, r);
        ComPurgeRx(h);
        return Ended(SequenceEnd::kDone);
    }
    default:
        return Ended(SequenceEnd::kDone);
    }
}

}  // namespace quill
