#include "platform/handle_core.h"

namespace quill {

HandleCore::HandleCore() {
    linkInfo.lowLatency = -1;
    linkInfo.latencyTimerMs = -1;
    linkInfo.latencyTimerWasMs = -1;
}

HandleCore::~HandleCore() = default;

void HandleCore::SignalAbort() {
    abortsPending.fetch_add(1, std::memory_order_acq_rel);
    abort.Raise();
}

void HandleCore::TakeAbort() {
    // Only the worker counts down, so a look and a decrement cannot race.
    // An abort message posted without a signal (a test's own PostCommand)
    // has nothing to take back.
    if (abortsPending.load(std::memory_order_acquire) == 0) return;
    abortsPending.fetch_sub(1, std::memory_order_acq_rel);
    abort.Lower();
}

}  // namespace quill
