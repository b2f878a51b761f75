#include "link/line_procedures.h"

#include "link/com_port.h"
#include "link/frames.h"
#include "link/port_names.h"
#include "platform/tick.h"
#include "worker/progress.h"

namespace quill {

int32_t LinkPrepare(FlashHandle *h) {
    if (h->port == PRR_INVALID_PORT) {
        const std::string path = ResolveComPort(h->reset.portNumber);
        const int fd = ComOpen(path.c_str());
        if (fd < 0) return PRR_STATUS_COM_OPEN;
        h->port = fd;
    }
    int32_t code = ComSetReadTimeout(h, kPrepareTimeoutMs);
    if (code == 0) code = ComSetFormat(h->port, kBaudDevice);
    if (code != 0) {
        h->state = PRR_STATE_IDLE;
        h->step = 0;
        LinkClosePort(h);
        return code;
    }
    ReportProgress(h, 0, 5, 100, "Flash Resetting...");
    ComSetRts(h->port);
    ComClearDtr(h->port);
    PauseMs(kPrepareSettleMs);
    ReportProgress(h, 0, 5, 100, "OK.");
    return 0;
}

int32_t LinkStart(FlashHandle *h) {
    const int fd = h->port;
    ComSetDtr(fd);
    PauseMs(1);
    ComClearDtr(fd);
    PauseMs(1);
    const uint8_t start = proto::kLineStart;
    if (fd >= 0) (void)ComWrite(h, &start, 1);
    PauseMs(1);
    uint8_t ignored;
    if (fd >= 0) (void)ComRead(h, &ignored, 1);
    PauseMs(1);
    ComClearRts(fd);
    PauseMs(2);
    ComSetDtr(fd);
    PauseMs(1);
    return 0;
}

void LinkIdle(FlashHandle *h) {
    if (h->port == PRR_INVALID_PORT) return;
    ComPurgeRx(h->port);
    (void)ComSetReadTimeout(h, kPrepareTimeoutMs);
    (void)ComSetFormat(h->port, kBaudIdle);
}

void LinkPurgeRx(FlashHandle *h) { ComPurgeRx(h->port); }

void LinkClosePort(FlashHandle *h) {
    ComClose(h->port);
    h->port = PRR_INVALID_PORT;
}

}  // namespace quill
