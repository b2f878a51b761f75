// What a caller's thread waits on while the library works for it: library
// threads wake it after each post, and the caller's own stop requests
// (Ctrl+C, a script's interrupt) are counted on it. The command line gives
// one that also wakes on SIGINT; PlainWaiter serves everyone else.
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace quillclient {

class Waiter {
public:
    virtual ~Waiter() = default;
    // Any thread; never blocks.
    virtual void Wake() = 0;
    // Until woken (a wake that came before counts) or `timeoutMs` passed; -1 waits without limit.
    virtual void Wait(int timeoutMs) = 0;
    // How often a stop was asked for since the waiter was made.
    virtual int Interrupts() const = 0;
};

class PlainWaiter : public Waiter {
public:
    void Wake() override;
    void Wait(int timeoutMs) override;
    int Interrupts() const override { return interrupts_.load(); }
    // Counts a stop request and wakes the waiting thread (any thread).
    void Interrupt();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
    std::atomic<int> interrupts_{0};
};

}  // namespace quillclient
