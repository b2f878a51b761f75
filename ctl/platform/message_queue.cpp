#include "platform/message_queue.h"

namespace quill {

void MessageQueue::Post(uint32_t number, intptr_t param) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(Message{number, param});
    }
    arrived_.notify_all();
}

std::optional<Message> MessageQueue::TakeLocked(uint32_t lo, uint32_t hi) {
    for (auto it = messages_.begin(); it != messages_.end(); ++it) {
        if (it->number >= lo && it->number <= hi) {
            Message m = *it;
            messages_.erase(it);
            return m;
        }
    }
    return std::nullopt;
}

std::optional<Message> MessageQueue::TryTake(uint32_t lo, uint32_t hi) {
    std::lock_guard<std::mutex> lock(mutex_);
    return TakeLocked(lo, hi);
}

Message MessageQueue::Take(uint32_t lo, uint32_t hi) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (auto m = TakeLocked(lo, hi)) return *m;
        arrived_.wait(lock);
    }
}

std::optional<Message> MessageQueue::TakeFor(uint32_t lo, uint32_t hi, std::chrono::microseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto m = TakeLocked(lo, hi)) return m;
        if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout) return TakeLocked(lo, hi);
    }
}

std::size_t MessageQueue::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
}

}  // namespace quill
