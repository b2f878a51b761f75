#include "platform/worker_frame.h"

#include <algorithm>

namespace quill {

WorkerFrame::WorkerFrame() = default;

WorkerFrame::~WorkerFrame() = default;

bool WorkerFrame::Start(std::function<void()> body) {
    try {
        thread_ = std::thread([this, body = std::move(body)] {
            try {
                body();
            } catch (...) {
                // Nothing may leave a worker thread; a close must still see it end.
            }
            std::lock_guard<std::mutex> lock(endMutex_);
            ended_ = true;
            endCv_.notify_all();
        });
    } catch (...) {
        return false;
    }
    return true;
}

bool WorkerFrame::Stop(uint32_t quit, std::chrono::milliseconds wait) {
    cancelled_.store(true, std::memory_order_release);
    cancel.Raise();
    queue.Post(quit);
    bool ended;
    {
        std::unique_lock<std::mutex> lock(endMutex_);
        ended = endCv_.wait_for(lock, wait, [this] { return ended_; });
    }
    if (!ended) {
        // A thread still running must never touch freed memory: leave the
        // handle to it rather than free it under its feet.
        thread_.detach();
        return false;
    }
    thread_.join();
    return true;
}

void LiveHandles::Add(const void *h) {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.push_back(h);
}

bool LiveHandles::Remove(const void *h) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(live_.begin(), live_.end(), h);
    if (it == live_.end()) return false;
    live_.erase(it);
    return true;
}

bool LiveHandles::Contains(const void *h) {
    std::lock_guard<std::mutex> lock(mutex_);
    return ContainsLocked(h);
}

bool LiveHandles::ContainsLocked(const void *h) const {
    return std::find(live_.begin(), live_.end(), h) != live_.end();
}

}  // namespace quill
