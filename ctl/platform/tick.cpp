#include "platform/tick.h"

#include "quillctl.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace quill {
namespace {
std::atomic<TickSource> g_source{nullptr};
std::atomic<PauseSink> g_pause{nullptr};

uint32_t SteadyTick() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

uint32_t TickNow() {
    TickSource source = g_source.load(std::memory_order_acquire);
    return source ? source() : SteadyTick();
}

void SetTickSourceForTesting(TickSource source) { g_source.store(source, std::memory_order_release); }

void PauseMs(uint32_t ms) {
    if (PauseSink sink = g_pause.load(std::memory_order_acquire)) return sink(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetPauseForTesting(PauseSink sink) { g_pause.store(sink, std::memory_order_release); }

}  // namespace quill

extern "C" QUILLCTL_API void PRRSetTickSourceForTesting(uint32_t (*source)(void)) {
    quill::SetTickSourceForTesting(source);
}
