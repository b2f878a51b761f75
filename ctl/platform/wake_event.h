// An event a blocking wait watches beside a port: held while a count of
// reasons is above zero (aborts on their way), or raised once for good (a
// close). On Linux an eventfd that poll() sees; on Windows a manual-reset
// event for WaitForMultipleObjects. Raise and Lower may come from any thread.
#pragma once

namespace quill {

class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent &) = delete;
    WakeEvent &operator=(const WakeEvent &) = delete;

    // False when the system would not make one; waits then rely on their flags.
    bool valid() const;
    // One reason more to be set.
    void Raise();
    // One reason fewer; the event clears at none. A Lower without a Raise does nothing.
    void Lower();
    // Until it is set or `timeoutMs` passed (-1: no limit); true when set.
    bool Wait(int timeoutMs) const;

    // What a wait on the port watches beside it: a descriptor (Linux, else
    // -1) or a HANDLE (Windows, else null).
    int fd() const;
    void *handle() const;

private:
    struct State;
    State *state_;
};

// Until one of `count` events is set or `timeoutMs` passed (-1: no limit):
// the index of a set one, or -1. Invalid or null events are left out.
int WaitAny(const WakeEvent *const *events, int count, int timeoutMs);

}  // namespace quill
