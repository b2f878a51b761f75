// The handle's port: the link it owns, and the serial operations the
// primitives and line procedures use. Every call returns a status code of the
// library (0 = success) except ComOpen, which returns a descriptor or -1.
#pragma once
#include <cstddef>
#include <cstdint>

#include "quillctl.h"

namespace quill {

class Link;

constexpr uint32_t kBaudDevice = 115200;     // while a device is driven
constexpr uint32_t kBaudIdle = 9600;         // after an abort
constexpr uint32_t kReadMsPerByte = 300;     // read time-out per requested byte
constexpr uint32_t kPrepareTimeoutMs = 2000; // read time-out constant set by the line procedures
constexpr uint32_t kWriteStallMs = 5000;     // a write that cannot move a byte for this long fails

// What the wire alone takes for one programmed byte at the device speed: the
// byte and its two-byte acknowledge, 11 bits a character.
constexpr double WireMicrosPerDataByte() { return 3 * 11 * 1e6 / kBaudDevice; }

// Serial devices (termios): exclusive open (O_NOCTTY, non-blocking, flock);
// -1 when missing, not a terminal, or in use.
int ComOpen(const char *path);
void ComClose(int fd);
// Raw 8E1 at `baud`, no flow control; 10 when the settings did not take.
int32_t ComSetFormat(int fd, uint32_t baud);
// True for the far end of a pseudo-terminal (which cannot keep a parity bit).
bool IsPseudoTerminal(int fd);

// Gives the handle `link` as its open port (closing any earlier one); port
// then shows the link's descriptor. A null link only closes.
void ComAttach(FlashHandle *h, Link *link);
// Opens `path` through the handle's opener (the serial device by default)
// and attaches it: 0, or 9 when it cannot be opened.
int32_t ComOpenPort(FlashHandle *h, const char *path);
// Opens COM<number>: a port this process serves (PRRServePort), else the
// device the number names. 0, or 9.
int32_t ComOpenNumber(FlashHandle *h, int number);
// Closes the open port, if any, and marks it invalid.
void ComClosePort(FlashHandle *h);
// True while the handle is being closed or an abort waits for the worker:
// a loop that can repeat without waiting on the link ends on it.
bool ComInterrupted(const FlashHandle *h);
// The handle's link; null while no port is open.
Link *ComLink(const FlashHandle *h);

// Applies 8E1 at `baud` to the open port: 0 or 10.
int32_t ComSetFormat(FlashHandle *h, uint32_t baud);
// Stores the constant part of the read time-out; a read of n bytes then waits
// at most 300 ms x n + constant.
int32_t ComSetReadTimeout(FlashHandle *h, uint32_t constantMs);
// As ComSetReadTimeout, for a constant that times the device's own work (a
// time code, up to minutes): the reads it times end on an abort too.
void ComSetDeviceWaitTimeout(FlashHandle *h, uint32_t constantMs);

// Exactly `count` bytes: 0, 23 when fewer arrived in time, 24 on a read error
// or when the handle is being closed.
int32_t ComRead(FlashHandle *h, uint8_t *buf, size_t count);
// All bytes or 8.
int32_t ComWrite(FlashHandle *h, const uint8_t *buf, size_t count);
// Sets the time-out constant, reads one byte; stores it only on success.
int32_t ComReadByte(FlashHandle *h, uint8_t *dst, uint32_t constantMs);
// Discards whatever waits in the input queue.
void ComPurgeRx(FlashHandle *h);

// Modem lines. Failures are ignored: pseudo-terminals have no modem lines.
void ComSetRts(FlashHandle *h);
void ComClearRts(FlashHandle *h);
void ComSetDtr(FlashHandle *h);
void ComClearDtr(FlashHandle *h);

}  // namespace quill
