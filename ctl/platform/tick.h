// Millisecond tick count and the one test hook that replaces it.
#pragma once
#include <cstdint>

namespace quill {

// Milliseconds from a steady clock. Wraps after 49.7 days: compare ticks only
// through unsigned differences (TickElapsed).
uint32_t TickNow();

inline uint32_t TickElapsed(uint32_t since, uint32_t now) { return now - since; }

// Test hook: replaces the clock for the whole process (nullptr restores the
// steady clock). Used by end-to-end tests that are not about real waits.
using TickSource = uint32_t (*)();
void SetTickSourceForTesting(TickSource source);

// Sleeps for a fixed line-change pause (the only sleeps the library makes).
void PauseMs(uint32_t ms);

// Test hook: replaces the sleep, for fuzzers that keep virtual time (nullptr
// restores the real one).
using PauseSink = void (*)(uint32_t ms);
void SetPauseForTesting(PauseSink sink);

}  // namespace quill
