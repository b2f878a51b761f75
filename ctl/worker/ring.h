// The progress ring both handle kinds keep: PRR_RING_SIZE records written by
// the worker and fetched by the application, one per notification. Indexes
// that a caller scribbled over never make us read or write out of bounds.
#pragma once
#include <cstdint>
#include <mutex>

#include "quillctl.h"

namespace quill {

template <typename Record>
class Ring {
public:
    Ring(Record (&slots)[PRR_RING_SIZE], int32_t &readIndex, int32_t &writeIndex)
        : slots_(slots), read_(readIndex), write_(writeIndex) {}

    static int32_t Safe(int32_t index) { return (index < 0 || index >= PRR_RING_SIZE) ? 0 : index; }
    static int32_t Next(int32_t index) { return Safe(index) == PRR_RING_SIZE - 1 ? 0 : Safe(index) + 1; }

    // The slot the next record goes into (the caller holds the ring's lock).
    Record &Slot() {
        write_ = Safe(write_);
        return slots_[write_];
    }
    // Makes the slot's record visible to Fetch (under the lock).
    void Advance() { write_ = Next(write_); }

    // The next record for the application, under `lock`.
    Record *Fetch(std::mutex &lock) {
        std::lock_guard<std::mutex> guard(lock);
        const int32_t index = Safe(read_);
        read_ = Next(index);
        return &slots_[index];
    }

private:
    Record (&slots_)[PRR_RING_SIZE];
    int32_t &read_;
    int32_t &write_;
};

inline Ring<ProgressRecord> RingOf(FlashHandle *h) { return {h->ring, h->readIndex, h->writeIndex}; }
inline Ring<LoadProgressRecord> RingOf(LoadFileHandle *h) { return {h->ring, h->readIndex, h->writeIndex}; }

}  // namespace quill
