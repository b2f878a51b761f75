#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/wake_event.h"

namespace quill {

// A semaphore eventfd: it holds the count, and reads one off it at a time.
struct WakeEvent::State {
    int fd = -1;
};

WakeEvent::WakeEvent() : state_(new State) { state_->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE); }

WakeEvent::~WakeEvent() {
    if (state_->fd >= 0) ::close(state_->fd);
    delete state_;
}

bool WakeEvent::valid() const { return state_->fd >= 0; }

void WakeEvent::Raise() {
    if (state_->fd < 0) return;
    const uint64_t one = 1;
    ssize_t ignored = ::write(state_->fd, &one, sizeof one);
    (void)ignored;
}

void WakeEvent::Lower() {
    if (state_->fd < 0) return;
    uint64_t value = 0;
    ssize_t ignored = ::read(state_->fd, &value, sizeof value);  // EAGAIN at zero: nothing to take
    (void)ignored;
}

bool WakeEvent::Wait(int timeoutMs) const {
    if (state_->fd < 0) return false;
    pollfd p{state_->fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

int WakeEvent::fd() const { return state_->fd; }

int WaitAny(const WakeEvent *const *events, int count, int timeoutMs) {
    pollfd p[8];
    int which[8];
    int n = 0;
    for (int i = 0; i < count && n < 8; ++i)
        if (events[i] != nullptr && events[i]->valid()) {
            p[n] = pollfd{events[i]->fd(), POLLIN, 0};
            which[n++] = i;
        }
    if (::poll(p, static_cast<nfds_t>(n), timeoutMs) <= 0) return -1;
    for (int i = 0; i < n; ++i)
        if (p[i].revents & POLLIN) return which[i];
    return -1;
}
void *WakeEvent::handle() const { return nullptr; }

}  // namespace quill
