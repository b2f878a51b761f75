#include "platform/handle_core.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace quill {

HandleCore::HandleCore() : abortFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)) {
    linkInfo.lowLatency = -1;
    linkInfo.latencyTimerMs = -1;
    linkInfo.latencyTimerWasMs = -1;
}

HandleCore::~HandleCore() {
    if (abortFd >= 0) ::close(abortFd);
}

void HandleCore::SignalAbort() {
    abortsPending.fetch_add(1, std::memory_order_acq_rel);
    if (abortFd >= 0) {
        const uint64_t one = 1;
        ssize_t ignored = ::write(abortFd, &one, sizeof one);
        (void)ignored;
    }
}

void HandleCore::TakeAbort() {
    // Only the worker counts down, so a look and a decrement cannot race.
    // An abort message posted without a signal (a test's own PostCommand)
    // has nothing to take back.
    if (abortsPending.load(std::memory_order_acquire) == 0) return;
    abortsPending.fetch_sub(1, std::memory_order_acq_rel);
    if (abortFd >= 0) {
        uint64_t value = 0;
        ssize_t ignored = ::read(abortFd, &value, sizeof value);
        (void)ignored;
    }
}

}  // namespace quill
