// The flash handle's progress ring: records written by the worker, fetched by
// the application one per notification.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "quillctl.h"

namespace quill {

// Formats a line (at most 255 characters) and appends it as a record carrying
// the handle's current state, then notifies the window.
void ReportProgress(FlashHandle *h, int32_t status, uint32_t percent, int32_t percentTotal, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
void ReportProgressV(FlashHandle *h, int32_t status, uint32_t percent, int32_t percentTotal, const char *format,
                     va_list args);

// Record for a status code: its text, percent 100, total 100.
void ReportStatus(FlashHandle *h, int32_t status);

// Writes a whole record (all fields) into the ring under the lock and notifies.
// Used for the final connect record, which carries the device fields.
void AppendRecord(FlashHandle *h, const ProgressRecord &record);

// Posts the handle's notify message, if it has a window.
void NotifyWindow(PRRWindow *window, uint32_t message);

}  // namespace quill
