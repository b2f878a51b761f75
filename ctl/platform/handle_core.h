// The library's private part of a flash handle, beside the public record:
// what the worker frame and the link layer both need, without either
// depending on the other. The worker frame owns it (FlashHandle.workerThread
// points at it).
#pragma once
#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/worker_frame.h"
#include "quillctl.h"

namespace quill {

class Link;
using LinkOpener = Link *(*)(const char *path);

// Progress counters of a stream pass that the public record has no room for.
struct StreamCounters {
    int32_t step = 1;
    int32_t last = 0;
    int32_t current = 0;
};

struct HandleCore : WorkerFrame {
    HandleCore();
    ~HandleCore();

    // An abort reaches a running step through these before its message is
    // taken: each PRRFlshAbort counts one up (before posting), the worker
    // counts one down as it takes the message. The abort event is set while
    // the count is above zero, so a blocking read watches it.
    void SignalAbort();
    void TakeAbort();
    std::atomic<uint32_t> abortsPending{0};
    WakeEvent abort;

    bool readWakesOnAbort = false;       // worker thread only: the read time-out is a device wait

    Link *link = nullptr;                // the open port (owned by the link layer); null while none
    LinkOpener opener = nullptr;         // how a connect opens its port; null: the serial device
    StreamCounters verifyProgress;       // the verify's own, so it never shifts programming's lines

    // What PRRFlshGetLinkInfo hands out; the port and the program timing
    // write it on the worker, callers read it on theirs.
    mutable std::mutex linkInfoLock;
    PRRLinkInfo linkInfo{};
    // Worker only: where the timed part of the running program began (the
    // end of its first page) and how many bytes had gone by then.
    std::chrono::steady_clock::time_point timedFrom{};
    uint32_t timedFromBytes = 0;
};

inline HandleCore &CoreOf(const FlashHandle *h) { return *static_cast<HandleCore *>(h->workerThread); }

}  // namespace quill
