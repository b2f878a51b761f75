#include "platform/handle_core.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace quill {

HandleCore::HandleCore() : abortFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)) {}

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
    // An abort message posted without a signal (a test's own PostCommand)
    // has nothing to take back.
    uint32_t n = abortsPending.load(std::memory_order_acquire);
    while (n > 0 && !abortsPending.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
    }
    if (n == 0) return;
    if (abortFd >= 0) {
        uint64_t value = 0;
        ssize_t ignored = ::read(abortFd, &value, sizeof value);
        (void)ignored;
    }
}

}  // namespace quill
