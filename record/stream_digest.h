// The SHA-256 a row records of the bytes a command streams to one target.
#pragma once
#include <string>

#include "quillctl.h"

namespace quillrecord {

// Lower-case hex of the SHA-256 of what a program or verify with these
// arguments streams from `load`; "" when that cannot be told.
std::string StreamSha256(const DeviceParameters &device, const AreaRecord &area, int32_t autoRange,
                         const LoadFileHandle *load);

// Lower-case hex of the SHA-256 of a whole file; "" when it cannot be read.
std::string FileSha256(const std::string &path);

}  // namespace quillrecord
