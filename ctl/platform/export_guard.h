// Every export runs its body through Guarded: no C++ exception ever crosses
// the C boundary. A body that throws (an allocation that failed, say) reads
// as the export's own failure value.
#pragma once
#include <utility>

namespace quill {

template <typename R, typename F>
R Guarded(R onFailure, F &&body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        return onFailure;
    }
}

template <typename F>
void GuardedVoid(F &&body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (...) {
    }
}

}  // namespace quill
