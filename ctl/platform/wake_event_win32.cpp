#include <windows.h>

#include <mutex>

#include "platform/wake_event.h"

namespace quill {

// A manual-reset event set while the count is above zero; the count is
// kept beside it, since a wait must see the event without consuming it.
struct WakeEvent::State {
    HANDLE event = nullptr;
    std::mutex mutex;
    unsigned count = 0;
};

WakeEvent::WakeEvent() : state_(new State) { state_->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

WakeEvent::~WakeEvent() {
    if (state_->event != nullptr) ::CloseHandle(state_->event);
    delete state_;
}

bool WakeEvent::valid() const { return state_->event != nullptr; }

void WakeEvent::Raise() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->count++ == 0 && state_->event != nullptr) ::SetEvent(state_->event);
}

void WakeEvent::Lower() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->count == 0) return;
    if (--state_->count == 0 && state_->event != nullptr) ::ResetEvent(state_->event);
}

bool WakeEvent::Wait(int timeoutMs) const {
    if (state_->event == nullptr) return false;
    return ::WaitForSingleObject(state_->event, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) ==
           WAIT_OBJECT_0;
}

int WakeEvent::fd() const { return -1; }
void *WakeEvent::handle() const { return state_->event; }

int WaitAny(const WakeEvent *const *events, int count, int timeoutMs) {
    HANDLE h[8];
    int which[8];
    DWORD n = 0;
    for (int i = 0; i < count && n < 8; ++i)
        if (events[i] != nullptr && events[i]->valid()) {
            h[n] = events[i]->handle();
            which[n++] = i;
        }
    const DWORD ms = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (n == 0) {
        ::Sleep(ms);
        return -1;
    }
    const DWORD r = ::WaitForMultipleObjects(n, h, FALSE, ms);
    return r < WAIT_OBJECT_0 + n ? which[r - WAIT_OBJECT_0] : -1;
}

}  // namespace quill
