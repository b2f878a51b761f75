// The line procedures of a connect: opening and configuring the port, the
// RTS/DTR changes around the bootloader entry, and the quiet idle state after
// an abort. They move bytes and lines only; the connect reports them.
#pragma once
#include <cstdint>

#include "quillctl.h"

namespace quill {

constexpr uint32_t kPrepareSettleMs = 10;  // after RTS set / DTR clear

// Opens the port of `reset.portNumber` if none is open, then applies 2000 ms
// and 115200 8E1: 0, 9, or 10 (the port is closed again on a failure).
int32_t LinkOpen(FlashHandle *h);
// RTS set, DTR clear, then the settle pause: the target waits for its entry.
void LinkHoldTarget(FlashHandle *h);
// The DTR pulse, the 0x55 byte, RTS clear, DTR set. Reports no failure.
int32_t LinkStart(FlashHandle *h);
// After an abort: discard input, 2000 ms time-out, 9600 baud.
void LinkIdle(FlashHandle *h);

// Port services of the worker table.
void LinkPurgeRx(FlashHandle *h);
void LinkClosePort(FlashHandle *h);

}  // namespace quill
