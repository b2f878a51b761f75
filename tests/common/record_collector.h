// Collects the records a handle announces: the window's post callback counts
// notifications, and the test thread fetches one record per notification, the
// way the program does. Idle notices (PRRFlshSetIdleMessage) are counted
// apart: they carry no record.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "quillctl.h"

namespace quilltest {

struct Rec {
    std::string text;
    int32_t state;
    int32_t status;
    uint32_t percent;
    int32_t total;
};

class NotifyCounter {
public:
    NotifyCounter() {
        window_.post = &NotifyCounter::Post;
        window_.context = this;
    }
    PRRWindow *window() { return &window_; }

    // Notifications of `message` (nonzero) are idle notices from now on.
    void SetIdleMessage(uint32_t message) {
        std::lock_guard<std::mutex> lock(mutex_);
        idleMessage_ = message;
    }

    // Waits until at least n record notifications arrived in all; false on time-out.
    bool WaitFor(uint64_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return count_ >= n; });
    }
    // Waits until at least n idle notices arrived in all; false on time-out.
    bool WaitForIdle(uint64_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return idle_ >= n; });
    }
    uint64_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    uint64_t idleCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return idle_;
    }
    uint32_t lastMessage() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastMessage_;
    }
    // Called on the posting thread with every record notice, before it is
    // counted (set it while no worker posts).
    void OnRecord(std::function<void()> hook) { onRecord_ = std::move(hook); }

private:
    static void Post(PRRWindow *self, uint32_t message) {
        auto *c = static_cast<NotifyCounter *>(self->context);
        bool idle;
        {
            std::lock_guard<std::mutex> lock(c->mutex_);
            idle = c->idleMessage_ != 0 && message == c->idleMessage_;
        }
        if (!idle && c->onRecord_) c->onRecord_();
        {
            std::lock_guard<std::mutex> lock(c->mutex_);
            if (idle) {
                ++c->idle_;
            } else {
                ++c->count_;
                c->lastMessage_ = message;
            }
        }
        c->cv_.notify_all();
    }
    PRRWindow window_{};
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t count_ = 0;
    uint64_t idle_ = 0;
    uint32_t idleMessage_ = 0;
    uint32_t lastMessage_ = 0;
    std::function<void()> onRecord_;
};

// Fetches flash records as they are announced.
class FlashRecords {
public:
    explicit FlashRecords(NotifyCounter &counter) : counter_(counter) {}

    // Fetches the next record; false when none arrives in time.
    bool Next(FlashHandle *h, Rec &out, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        if (!counter_.WaitFor(fetched_ + 1, timeout)) return false;
        ++fetched_;
        ProgressRecord *r = PRRFlshGetProg(h);
        out = Rec{r->text, r->state, r->status, r->percent, r->percentTotal};
        all_.push_back(out);
        return true;
    }

    // Fetches records until one ends a command (percent 100, total 100) and
    // satisfies `isEnd` (default: any). Returns the records fetched by this call.
    std::vector<Rec> UntilEnd(FlashHandle *h, std::function<bool(const Rec &)> isEnd = nullptr,
                              std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::vector<Rec> got;
        Rec r{};
        while (Next(h, r, timeout)) {
            got.push_back(r);
            if (r.percent == 100 && r.total == 100 && (!isEnd || isEnd(r))) break;
        }
        return got;
    }

    uint64_t fetched() const { return fetched_; }
    const std::vector<Rec> &all() const { return all_; }

private:
    NotifyCounter &counter_;
    uint64_t fetched_ = 0;
    std::vector<Rec> all_;
};

// Fetches load-file records as they are announced, one per notification.
class LoadRecords {
public:
    PRRWindow *window() { return counter_.window(); }
    NotifyCounter &counter() { return counter_; }

    bool Next(LoadFileHandle *h, LoadProgressRecord &out,
              std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        if (!counter_.WaitFor(fetched_ + 1, timeout)) return false;
        ++fetched_;
        out = *PRRHexGetProg(h);
        return true;
    }

    // Records up to and including the success or failure record.
    std::vector<LoadProgressRecord> UntilFinal(LoadFileHandle *h,
                                               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::vector<LoadProgressRecord> got;
        LoadProgressRecord r{};
        while (Next(h, r, timeout)) {
            got.push_back(r);
            if (r.state == PRR_LOAD_STATE_DONE) break;
        }
        return got;
    }

private:
    NotifyCounter counter_;
    uint64_t fetched_ = 0;
};

}  // namespace quilltest
