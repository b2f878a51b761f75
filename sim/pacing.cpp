#include "sim/pacing.h"

#include <algorithm>

namespace quillsim {

std::chrono::nanoseconds charTime(uint32_t baud) {
    if (baud == 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds((uint64_t{kBitsPerChar} * 1000000000ull + baud - 1) / baud);
}

std::chrono::nanoseconds wireTime(size_t chars, uint32_t baud) {
    if (baud == 0) return std::chrono::nanoseconds(0);
    // Whole-line arithmetic, so long transfers do not accumulate rounding.
    return std::chrono::nanoseconds((uint64_t{kBitsPerChar} * chars * 1000000000ull + baud - 1) / baud);
}

std::chrono::steady_clock::time_point latencyRelease(std::chrono::steady_clock::time_point t,
                                                     std::chrono::nanoseconds period) {
    if (period <= std::chrono::nanoseconds::zero()) return t;
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
    const auto periods = (since.count() + period.count() - 1) / period.count();
    return std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(period * periods));
}

PacedLine::TimePoint PacedLine::admit(TimePoint arrival) {
    if (baud_ == 0) return lineFree_ = arrival;
    lineFree_ = std::max(arrival, lineFree_) + charTime(baud_);
    return lineFree_;
}

void PacedLine::queued(size_t waitingBefore, TimePoint now) {
    // A character joining an idle line starts now, or when the last one ended.
    if (waitingBefore == 0) nextDone_ = std::max(now, nextDone_ - charTime(baud_)) + charTime(baud_);
}

size_t PacedLine::due(size_t waiting, TimePoint now) const {
    if (waiting == 0) return 0;
    if (baud_ == 0) return waiting;
    if (now < nextDone_) return 0;
    const auto extra = static_cast<size_t>((now - nextDone_) / charTime(baud_));
    return std::min(waiting, 1 + extra);
}

void PacedLine::sent(size_t count) {
    // Afterwards nextDone_ is the completion time of the next character, or,
    // with none waiting, one character past the end of the last one.
    nextDone_ += charTime(baud_) * static_cast<int64_t>(count);
}

std::optional<PacedLine::TimePoint> PacedLine::firstDone(size_t waiting) const {
    if (waiting == 0) return std::nullopt;
    return baud_ == 0 ? TimePoint{} : nextDone_;
}

std::optional<PacedLine::TimePoint> PacedLine::lastDone(size_t waiting) const {
    if (waiting == 0) return std::nullopt;
    if (baud_ == 0) return TimePoint{};
    return nextDone_ + charTime(baud_) * static_cast<int64_t>(waiting - 1);
}

}  // namespace quillsim
