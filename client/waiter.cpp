#include "client/waiter.h"

#include <chrono>

namespace quillclient {

void PlainWaiter::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    cv_.notify_all();
}

void PlainWaiter::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeoutMs < 0)
        cv_.wait(lock, [this] { return woken_; });
    else
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return woken_; });
    woken_ = false;
}

void PlainWaiter::Interrupt() {
    interrupts_.fetch_add(1);
    Wake();
}

}  // namespace quillclient
