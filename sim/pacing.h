// Wire pacing: a character is 11 bits (start, 8 data, parity, stop), so at a
// given baud each byte takes 11 / baud seconds in either direction. Pure
// arithmetic over time points, so tests can check it without a clock.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quillsim {

constexpr unsigned kBitsPerChar = 11;

// Time one character occupies the line; zero when baud is 0 (no pacing).
std::chrono::nanoseconds charTime(uint32_t baud);
// Time `chars` characters occupy the line.
std::chrono::nanoseconds wireTime(size_t chars, uint32_t baud);

// A USB adapter's latency timer: what is complete at `t` leaves at the next
// multiple of `period` on the clock (at `t` itself when it is one). A zero
// period holds nothing.
std::chrono::steady_clock::time_point latencyRelease(std::chrono::steady_clock::time_point t,
                                                     std::chrono::nanoseconds period);

// One direction of a paced line: each character is complete one character
// time after the line became free for it.
class PacedLine {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    void setBaud(uint32_t baud) { baud_ = baud; }
    uint32_t baud() const { return baud_; }

    // Receive side: a character written at `arrival` is complete at the returned time.
    TimePoint admit(TimePoint arrival);

    // Send side: `count` characters are queued at `now` behind `queued` waiting ones.
    // firstDone() is when the oldest waiting character is complete; due() how many
    // are complete by `now`; sent() takes them off.
    void queued(size_t waitingBefore, TimePoint now);
    size_t due(size_t waiting, TimePoint now) const;
    void sent(size_t count);
    std::optional<TimePoint> firstDone(size_t waiting) const;
    // When the newest of `waiting` characters is complete.
    std::optional<TimePoint> lastDone(size_t waiting) const;

private:
    uint32_t baud_ = 0;
    TimePoint lineFree_{}; // receive side: when the last character was complete
    TimePoint nextDone_{}; // send side: completion time of the oldest waiting character
};

}  // namespace quillsim
