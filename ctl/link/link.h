// The byte link under the protocol: what the primitives and line procedures
// need from a port, and nothing more. The serial-device implementation lives
// in its own file chosen by the build; tests and fuzzers put an in-memory one
// under the sequences instead.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "quillctl.h"

namespace quill {

enum class ModemLine { kRts, kDtr };

class Link {
public:
    virtual ~Link() = default;  // closes the port

    // Exactly `count` bytes within `timeoutMs`: 0, 23 when fewer arrived in
    // time, 24 on a read error, a vanished device, or a cancelled handle.
    virtual int32_t ReadExact(uint8_t *buf, size_t count, uint32_t timeoutMs) = 0;
    // All bytes or 8.
    virtual int32_t Write(const uint8_t *buf, size_t count) = 0;
    // Discards whatever waits in the input queue.
    virtual void PurgeRx() = 0;
    // Raw 8E1 at `baud`, no flow control: 0, or 10 when it did not take.
    virtual int32_t SetFormat(uint32_t baud) = 0;
    // Failures are ignored: pseudo-terminals have no modem lines.
    virtual void SetModemLine(ModemLine line, bool on) = 0;
    // The value FlashHandle.port shows while this link is open (>= 0).
    virtual int Descriptor() const = 0;
};

// Opens the serial device at `path` for exclusive use; null when it is
// missing, not a terminal, or in use. Reads wake on `cancelFd`.
Link *OpenSerialLink(const char *path, int cancelFd, const std::atomic<bool> *cancelled);

}  // namespace quill
