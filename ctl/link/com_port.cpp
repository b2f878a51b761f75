#include "link/com_port.h"

#include "link/link.h"
#include "link/port_names.h"
#include "link/served_port.h"
#include "platform/handle_core.h"

namespace quill {

void ComAttach(FlashHandle *h, Link *link) {
    HandleCore &core = CoreOf(h);
    delete core.link;
    core.link = link;
    if (link != nullptr) link->Bind(LinkWake{&core.cancel, &core.abort, core.cancelFlag(), &core.abortsPending});
    h->port = link != nullptr ? link->Descriptor() : PRR_INVALID_PORT;
    // A close keeps what the last open found, for the caller to read after.
    std::lock_guard<std::mutex> lock(core.linkInfoLock);
    core.linkInfo.portOpen = link != nullptr ? 1 : 0;
    if (link != nullptr) {
        const LinkTuning t = link->Tuning();
        core.linkInfo.lowLatency = t.lowLatency;
        core.linkInfo.latencyTimerMs = t.latencyTimerMs;
        core.linkInfo.latencyTimerWasMs = t.latencyTimerWasMs;
    }
}

int32_t ComOpenPort(FlashHandle *h, const char *path) {
    HandleCore &core = CoreOf(h);
    LinkOpener open = core.opener != nullptr ? core.opener : OpenSerialLink;
    Link *link = open(path);
    if (link == nullptr) return PRR_STATUS_COM_OPEN;
    ComAttach(h, link);
    return 0;
}

int32_t ComOpenNumber(FlashHandle *h, int number) {
    // A port this process serves comes first; a test's own opener sees only paths.
    if (CoreOf(h).opener == nullptr) {
        bool served = false;
        if (Link *link = OpenServedLink(number, &served)) {
            ComAttach(h, link);
            return 0;
        }
        if (served) return PRR_STATUS_COM_OPEN;
    }
    return ComOpenPort(h, ResolveComPort(number).c_str());
}

void ComClosePort(FlashHandle *h) { ComAttach(h, nullptr); }

bool ComInterrupted(const FlashHandle *h) {
    const HandleCore &core = CoreOf(h);
    return core.cancelled() || core.abortsPending.load(std::memory_order_acquire) > 0;
}

Link *ComLink(const FlashHandle *h) { return h->port == PRR_INVALID_PORT ? nullptr : CoreOf(h).link; }

int32_t ComSetFormat(FlashHandle *h, uint32_t baud) {
    Link *link = ComLink(h);
    return link != nullptr ? link->SetFormat(baud) : PRR_STATUS_COM_SETTING;
}

int32_t ComSetReadTimeout(FlashHandle *h, uint32_t constantMs) {
    h->readTimeoutMs = constantMs;
    CoreOf(h).readWakesOnAbort = false;
    return 0;
}

void ComSetDeviceWaitTimeout(FlashHandle *h, uint32_t constantMs) {
    h->readTimeoutMs = constantMs;
    CoreOf(h).readWakesOnAbort = true;
}

int32_t ComRead(FlashHandle *h, uint8_t *buf, size_t count) {
    Link *link = ComLink(h);
    if (link == nullptr) return PRR_STATUS_COM_READ;
    const uint64_t total = uint64_t(kReadMsPerByte) * count + h->readTimeoutMs;
    return link->ReadExact(buf, count, total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total),
                           CoreOf(h).readWakesOnAbort);
}

int32_t ComWrite(FlashHandle *h, const uint8_t *buf, size_t count) {
    Link *link = ComLink(h);
    return link != nullptr ? link->Write(buf, count) : PRR_STATUS_COM_WRITE;
}

int32_t ComReadByte(FlashHandle *h, uint8_t *dst, uint32_t constantMs) {
    ComSetReadTimeout(h, constantMs);
    uint8_t b = 0;
    int32_t code = ComRead(h, &b, 1);
    if (code == 0) *dst = b;
    return code;
}

void ComPurgeRx(FlashHandle *h) {
    if (Link *link = ComLink(h)) link->PurgeRx();
}

namespace {
void Modem(FlashHandle *h, ModemLine line, bool on) {
    if (Link *link = ComLink(h)) link->SetModemLine(line, on);
}
}  // namespace

void ComSetRts(FlashHandle *h) { Modem(h, ModemLine::kRts, true); }
void ComClearRts(FlashHandle *h) { Modem(h, ModemLine::kRts, false); }
void ComSetDtr(FlashHandle *h) { Modem(h, ModemLine::kDtr, true); }
void ComClearDtr(FlashHandle *h) { Modem(h, ModemLine::kDtr, false); }

}  // namespace quill
