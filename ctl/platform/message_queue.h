// Thread message queue: what the workers use in place of a platform message
// queue. Messages keep their posting order; takes can be limited to a range of
// message numbers, the way the workers filter their command messages.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace quill {

struct Message {
    uint32_t number;
    intptr_t param;
};

class MessageQueue {
public:
    void Post(uint32_t number, intptr_t param = 0);

    // First waiting message with lo <= number <= hi, removed from the queue;
    // none when nothing in range waits.
    std::optional<Message> TryTake(uint32_t lo, uint32_t hi);

    // As TryTake, but waits until a message in range arrives.
    Message Take(uint32_t lo, uint32_t hi);

    // As TryTake, but waits at most `timeout` for one to arrive.
    std::optional<Message> TakeFor(uint32_t lo, uint32_t hi, std::chrono::microseconds timeout);

    std::size_t Size() const;

private:
    std::optional<Message> TakeLocked(uint32_t lo, uint32_t hi);

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Message> messages_;
};

}  // namespace quill
