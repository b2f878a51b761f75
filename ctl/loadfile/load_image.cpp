#include "loadfile/load_image.h"

#include <mutex>

#include "platform/worker_frame.h"

namespace quill {
namespace {

LiveHandles &Live() {
    static LiveHandles live;
    return live;
}

}  // namespace

void RegisterLoadFile(const LoadFileHandle *h) { Live().Add(h); }

bool UnregisterLoadFile(const LoadFileHandle *h) { return Live().Remove(h); }

int32_t LoadReadState(const LoadFileHandle *h) { return __atomic_load_n(&h->readState, __ATOMIC_ACQUIRE); }

int LoadImageExtent(const LoadFileHandle *h, uint32_t *start, uint32_t *length) {
    LiveHandles &live = Live();
    // Held while the fields are read, so a concurrent close cannot free them.
    std::lock_guard<std::mutex> lock(live.mutex());
    if (h == nullptr || !live.ContainsLocked(h) || LoadReadState(h) != PRR_LOAD_READY) return 1;
    if (start != nullptr) *start = h->imageStart;
    if (length != nullptr) *length = h->imageLength;
    return 0;
}

const uint8_t *LoadImageBytes(const LoadFileHandle *h) {
    LiveHandles &live = Live();
    std::lock_guard<std::mutex> lock(live.mutex());
    if (h == nullptr || !live.ContainsLocked(h) || LoadReadState(h) != PRR_LOAD_READY) return nullptr;
    return h->imageBuffer;
}

}  // namespace quill
