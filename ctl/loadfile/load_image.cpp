#include "loadfile/load_image.h"

#include <mutex>
#include <unordered_set>

namespace quill {
namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_set<const LoadFileHandle *> live;
};

Registry &Live() {
    static Registry r;
    return r;
}

}  // namespace

void RegisterLoadFile(const LoadFileHandle *h) {
    Registry &r = Live();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.live.insert(h);
}

bool UnregisterLoadFile(const LoadFileHandle *h) {
    Registry &r = Live();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.live.erase(h) != 0;
}

int32_t LoadReadState(const LoadFileHandle *h) { return __atomic_load_n(&h->readState, __ATOMIC_ACQUIRE); }

int LoadImageExtent(const LoadFileHandle *h, uint32_t *start, uint32_t *length) {
    Registry &r = Live();
    // Held while the fields are read, so a concurrent close cannot free them.
    std::lock_guard<std::mutex> lock(r.mutex);
    if (h == nullptr || r.live.count(h) == 0 || LoadReadState(h) != PRR_LOAD_READY) return 1;
    if (start != nullptr) *start = h->imageStart;
    if (length != nullptr) *length = h->imageLength;
    return 0;
}

const uint8_t *LoadImageBytes(const LoadFileHandle *h) {
    Registry &r = Live();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (h == nullptr || r.live.count(h) == 0 || LoadReadState(h) != PRR_LOAD_READY) return nullptr;
    return h->imageBuffer;
}

}  // namespace quill
