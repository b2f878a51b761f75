#include "link/line_procedures.h"

#include "link/com_port.h"
#include "link/frames.h"
#include "link/port_names.h"
#include "platform/tick.h"

namespace quill {

int32_t LinkOpen(FlashHandle *h) {
    if (h->port == PRR_INVALID_PORT) {
        if (int32_t code = ComOpenNumber(h, h->reset.portNumber)) return code;
    }
    int32_t code = ComSetReadTimeout(h, kPrepareTimeoutMs);
    if (code == 0) code = ComSetFormat(h, kBaudDevice);
    if (code != 0) LinkClosePort(h);
    return code;
}

void LinkHoldTarget(FlashHandle *h) {
    ComSetRts(h);
    ComClearDtr(h);
    PauseMs(kPrepareSettleMs);
}

int32_t LinkStart(FlashHandle *h) {
    ComSetDtr(h);
    PauseMs(1);
    ComClearDtr(h);
    PauseMs(1);
    const uint8_t start = proto::kLineStart;
    const bool open = h->port != PRR_INVALID_PORT;
    if (open) (void)ComWrite(h, &start, 1);
    PauseMs(1);
    uint8_t ignored;
    if (open) (void)ComRead(h, &ignored, 1);
    PauseMs(1);
    ComClearRts(h);
    PauseMs(2);
    ComSetDtr(h);
    PauseMs(1);
    return 0;
}

void LinkIdle(FlashHandle *h) {
    if (h->port == PRR_INVALID_PORT) return;
    ComPurgeRx(h);
    (void)ComSetReadTimeout(h, kPrepareTimeoutMs);
    (void)ComSetFormat(h, kBaudIdle);
}

void LinkPurgeRx(FlashHandle *h) { ComPurgeRx(h); }

void LinkClosePort(FlashHandle *h) { ComClosePort(h); }

}  // namespace quill
