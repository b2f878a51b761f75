// Ports served inside this process (PRRServePort): a line whose far end is a
// device model in the same program instead of a serial device.
#pragma once
#include "link/link.h"

namespace quill {

// The link to COM<number> when this process serves it; null when it does not,
// or when another host has it open (then *served is still set).
Link *OpenServedLink(int number, bool *served);

}  // namespace quill
