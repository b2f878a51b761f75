#pragma once
#include <cstdint>

namespace quill {
// Text of a status code; "" outside the table.
const char *StatusText(int32_t status);
}  // namespace quill
