// A PRRWindow for callers without an event loop: workers' posts are queued
// in order and taken on the caller's thread, which hands each one to
// FlashSession::OnNotification.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "quillctl.h"

namespace quillclient {

class NotificationQueue {
public:
    // `wake` runs on the posting worker's thread after each post, under the
    // queue's lock; it must not block or take from the queue.
    explicit NotificationQueue(std::function<void()> wake = {}) : wake_(std::move(wake)) {
        window_.post = &NotificationQueue::Post;
        window_.context = this;
    }
    // Waits for a post still under way.
    ~NotificationQueue() { std::lock_guard<std::mutex> lock(mutex_); }
    NotificationQueue(const NotificationQueue &) = delete;
    NotificationQueue &operator=(const NotificationQueue &) = delete;

    // Must outlive every handle that posts to it.
    PRRWindow *window() { return &window_; }

    // Every message posted so far, oldest first; empty when none.
    std::vector<uint32_t> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<uint32_t> out(messages_.begin(), messages_.end());
        messages_.clear();
        return out;
    }

    // Like Take, but waits up to `timeout` for a first message.
    std::vector<uint32_t> WaitAndTake(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        posted_.wait_for(lock, timeout, [this] { return !messages_.empty(); });
        std::vector<uint32_t> out(messages_.begin(), messages_.end());
        messages_.clear();
        return out;
    }

private:
    static void Post(PRRWindow *self, uint32_t message) {
        auto *q = static_cast<NotificationQueue *>(self->context);
        // Notified and woken under the lock: a caller that takes this message
        // cannot return and drop the queue, or what `wake` touches, before
        // the post is done with them.
        std::lock_guard<std::mutex> lock(q->mutex_);
        q->messages_.push_back(message);
        q->posted_.notify_all();
        if (q->wake_) q->wake_();
    }

    PRRWindow window_{};
    std::function<void()> wake_;
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<uint32_t> messages_;
};

}  // namespace quillclient
