// What every handle's worker is made of, whatever its kind: one thread, its
// message queue, a cancel event that wakes any blocking read on it, and
// a close that waits a bounded time and never frees what a still-running
// thread may touch.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/wake_event.h"

namespace quill {

class WorkerFrame {
public:
    WorkerFrame();
    ~WorkerFrame();
    WorkerFrame(const WorkerFrame &) = delete;
    WorkerFrame &operator=(const WorkerFrame &) = delete;

    // Runs `body` on the worker thread; false when no thread could be started.
    bool Start(std::function<void()> body);

    // Cancels blocking reads, posts `quit`, and waits up to `wait` for the
    // body to return. True when it did (the thread is joined and the caller
    // may free the handle); false when it still runs and was left to itself.
    bool Stop(uint32_t quit, std::chrono::milliseconds wait);

    // True once Stop has begun.
    bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }
    const std::atomic<bool> *cancelFlag() const { return &cancelled_; }

    MessageQueue queue;
    WakeEvent cancel;  // set once Stop has begun, so a blocking read on the worker ends at once

protected:
    std::atomic<bool> cancelled_{false};

private:
    std::thread thread_;
    std::mutex endMutex_;
    std::condition_variable endCv_;
    bool ended_ = false;
};

// The handles of one kind that are open now, so a close or an accessor can
// tell a live handle from a stale or foreign pointer.
class LiveHandles {
public:
    void Add(const void *h);
    // False when `h` was not live.
    bool Remove(const void *h);
    bool Contains(const void *h);
    // Held while a caller reads a handle's fields, so a close cannot free them meanwhile.
    std::mutex &mutex() { return mutex_; }
    bool ContainsLocked(const void *h) const;

private:
    std::mutex mutex_;
    std::vector<const void *> live_;
};

}  // namespace quill
