// Connect: the preparing reset opens and configures the port; the second
// reset pulses the control lines, waits for the bootloader and runs the
// reset handshake.
#include <cstring>
#include <mutex>

#include "link/line_procedures.h"
#include "link/primitives.h"
#include "platform/process_locks.h"
#include "platform/tick.h"
#include "sequence/sequence_common.h"
#include "sequence/sequences.h"
#include "worker/flash_worker.h"
#include "worker/progress.h"

namespace quill {

namespace {
enum ConnectStep : int32_t { kWait = 1, kPass1 = 2, kPass2 = 3, kPass3 = 4, kAnnounce = 10, kFinal = 13 };
}

int32_t ConnectStart(FlashHandle *h) {
    if (!ClockUsable(h)) return PRR_STATUS_ILLEGAL_PARAMETER;
    if (ResetPhase(h) == 1) return LinkPrepare(h);
    LinkStart(h);
    h->retryCount = 0;
    h->state = PRR_STATE_CONNECT;
    h->step = kWait;
    h->stepTick = TickNow();
    return 0;
}

int32_t ConnectStep(FlashHandle *h) {
    if (HandleAbort(h)) return 0;
    switch (h->step) {
    case kWait: {
        if (!StepWaitElapsed(h, kConnectWaitMs)) return 0;
        ReportProgress(h, 0, 15, 100, "sending reset command...");
        const int32_t code = DevResetCommand(h);
        if (code != 0) return code;
        h->step = kPass1;
        h->stepTick = TickNow();
        return 0;
    }
    case kPass1:
    case kPass2:
        ++h->step;
        return 0;
    case kPass3:
        h->step = kAnnounce;
        return 0;
    case kAnnounce:
        ReportProgress(h, 0, 75, 100, "OK.");
        h->step = kFinal;
        return 0;
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
        h->step = 0;
        PurgeRx(h);
        return 0;
    }
    default:
        h->step = 0;
        return 0;
    }
}

}  // namespace quill
