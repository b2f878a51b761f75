// The byte link under the protocol: what the primitives and line procedures
// need from a port, and nothing more. The serial-device implementation lives
// in its own file chosen by the build; tests and fuzzers put an in-memory one
// under the sequences instead.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/wake_event.h"
#include "quillctl.h"

namespace quill {

enum class ModemLine { kRts, kDtr };

// What ends a wait on the link early: the handle being closed, or an abort
// posted and not yet taken by the worker. The events are set while that
// holds (null: none), so a blocking wait can watch them beside the port.
struct LinkWake {
    const WakeEvent *cancel = nullptr;
    const WakeEvent *abort = nullptr;
    const std::atomic<bool> *cancelled = nullptr;
    const std::atomic<uint32_t> *abortsPending = nullptr;

    bool Interrupted(bool byAbort) const {
        return (cancelled != nullptr && cancelled->load(std::memory_order_acquire)) ||
               (byAbort && abortsPending != nullptr && abortsPending->load(std::memory_order_acquire) > 0);
    }
};

// What opening did to make a real adapter hand on each answer at once; a
// pseudo-terminal refuses all of it, which is no error.
struct LinkTuning {
    int lowLatency = -1;         // 1 on, 0 refused, -1 not asked
    int latencyTimerMs = -1;     // the adapter's latency timer now; -1 when it has none
    int latencyTimerWasMs = -1;  // before the open lowered it; -1 when it has none
};

class Link {
public:
    virtual ~Link() = default;  // closes the port

    // Given by the handle that takes the link.
    void Bind(const LinkWake &wake) { wake_ = wake; }

    // Exactly `count` bytes within `timeoutMs`: 0, 23 when fewer arrived in
    // time, 24 on a read error, a vanished device, or a wait that was woken
    // (a close always; an abort when `wakeOnAbort`, for the long waits on a
    // device's own work that only a close could end otherwise).
    virtual int32_t ReadExact(uint8_t *buf, size_t count, uint32_t timeoutMs, bool wakeOnAbort) = 0;
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
    virtual LinkTuning Tuning() const { return {}; }

protected:
    LinkWake wake_;
};

// Opens the serial device at `path` for exclusive use, asking its driver for
// low latency (put back on close); null when it is missing, not a terminal,
// or in use.
Link *OpenSerialLink(const char *path);

}  // namespace quill
