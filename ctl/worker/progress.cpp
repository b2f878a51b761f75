#include "worker/progress.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/process_locks.h"
#include "worker/status_text.h"

namespace quill {
namespace {
int32_t NextIndex(int32_t index) {
    // A caller that wrote nonsense into the index must not make us write out of bounds.
    if (index < 0 || index >= PRR_RING_SIZE - 1) return 0;
    return index + 1;
}

int32_t SafeIndex(int32_t index) { return (index < 0 || index >= PRR_RING_SIZE) ? 0 : index; }
}  // namespace

void NotifyWindow(PRRWindow *window, uint32_t message) {
    if (window != nullptr && window->post != nullptr) window->post(window, message);
}

void ReportProgressV(FlashHandle *h, int32_t status, uint32_t percent, int32_t percentTotal, const char *format,
                     va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    {
        std::lock_guard<std::mutex> lock(FlashRingLock());
        h->writeIndex = SafeIndex(h->writeIndex);
        ProgressRecord &r = h->ring[h->writeIndex];
        r.state = h->state;
        r.status = status;
        r.percent = percent > 100 ? 100 : percent;
        r.percentTotal = percentTotal;
        std::memcpy(r.text, text, sizeof text);
        h->writeIndex = NextIndex(h->writeIndex);
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
        h->writeIndex = SafeIndex(h->writeIndex);
        h->ring[h->writeIndex] = record;
        h->ring[h->writeIndex].text[sizeof record.text - 1] = '\0';
        h->writeIndex = NextIndex(h->writeIndex);
    }
    NotifyWindow(h->notifyWindow, h->notifyMessage);
}

}  // namespace quill

extern "C" QUILLCTL_API ProgressRecord *PRRFlshGetProg(FlashHandle *h) {
    if (h == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(quill::FlashRingLock());
    int32_t index = quill::SafeIndex(h->readIndex);
    h->readIndex = quill::NextIndex(index);
    return &h->ring[index];
}
