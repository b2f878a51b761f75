#include "worker/progress.h"
#include "platform/export_guard.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/process_locks.h"
#include "worker/ring.h"
#include "worker/status_text.h"

namespace quill {

void NotifyWindow(PRRWindow *window, uint32_t message) {
    if (window != nullptr && window->post != nullptr) window->post(window, message);
}

void ReportProgressV(FlashHandle *h, int32_t status, uint32_t percent, int32_t percentTotal, const char *format,
                     va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    {
        std::lock_guard<std::mutex> lock(FlashRingLock());
        Ring<ProgressRecord> ring = RingOf(h);
        ProgressRecord &r = ring.Slot();
        r.state = h->state;
        r.status = status;
        r.percent = percent > 100 ? 100 : percent;
        r.percentTotal = percentTotal;
        std::memcpy(r.text, text, sizeof text);
        ring.Advance();
    }
    NotifyWindow(h->notifyWindow, h->notifyMessage);
}

void ReportProgress(FlashHandle *h, int32_t status, uint32_t percent, int32_t percentTotal, const char *format, ...) {
    va_list args;
    va_start(args, format);
    ReportProgressV(h, status, percent, percentTotal, format, args);
    va_end(args);
}

void ReportStatus(FlashHandle *h, int32_t status) { ReportProgress(h, status, 100, 100, "%s", StatusText(status)); }

void AppendRecord(FlashHandle *h, const ProgressRecord &record) {
    {
        std::lock_guard<std::mutex> lock(FlashRingLock());
        Ring<ProgressRecord> ring = RingOf(h);
        ProgressRecord &r = ring.Slot();
        r = record;
        r.text[sizeof record.text - 1] = '\0';
        ring.Advance();
    }
    NotifyWindow(h->notifyWindow, h->notifyMessage);
}

}  // namespace quill

extern "C" QUILLCTL_API ProgressRecord *PRRFlshGetProg(FlashHandle *h) {
    return quill::Guarded<ProgressRecord *>(nullptr, [&]() -> ProgressRecord * {
        if (h == nullptr) return nullptr;
        return quill::RingOf(h).Fetch(quill::FlashRingLock());
    });
}
