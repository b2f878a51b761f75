#pragma once
#include <cstdint>

#include "quillctl.h"

namespace quill {

// Works out the address range of a program or verify from the selection or,
// with autoRange, from the image, and prepares the byte stream for it:
// 0xFF before the image, the image bytes, 0xFF after. 14, 3, 1 or 17 when it
// cannot.
int32_t SetUpProgramRange(FlashHandle *h);

// The checksum's stream: the image from the selection start to its end, 0xFF
// where the image ends early. 3 or 1 when it cannot.
int32_t SetUpChecksumRange(FlashHandle *h);

// Next `count` bytes of the stream (lead pad, image, tail pad); positions
// past its end are left as they were.
void FillProgramChunk(FlashHandle *h, uint8_t *buf, uint32_t count);

// Progress counters of one stream pass.
struct StreamProgress {
    int32_t &step;     // tenth now due (starts at 1)
    int32_t &last;     // percentage last reported
    int32_t &current;  // percentage now reached
};
// Progress of a stream in steps of 10 %: reports `format` (with the
// percentage as its %d) once the bytes sent pass the next tenth.
void ReportStreamProgress(FlashHandle *h, StreamProgress p, const char *format);
// Programming's counters (the handle's record) and the verify's own.
StreamProgress ProgramProgress(FlashHandle *h);
StreamProgress VerifyProgress(FlashHandle *h);
// A pass starts counting afresh: step 1, nothing reported yet.
void RestartProgress(StreamProgress p);

}  // namespace quill
