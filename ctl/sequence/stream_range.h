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

}  // namespace quill
