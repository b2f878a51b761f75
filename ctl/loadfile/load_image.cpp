#include "loadfile/load_image.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "loadfile/hex_records.h"
#include "platform/worker_frame.h"

namespace quill {
namespace {

LiveHandles &Live() {
    static LiveHandles live;
    return live;
}

}  // namespace

void RegisterLoadFile(const LoadFileHandle *h) { Live().Add(h); }

std::mutex &LiveLoadFileLock() { return Live().mutex(); }

bool LoadFileLiveLocked(const LoadFileHandle *h) { return Live().ContainsLocked(h); }

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

int PatchLoadImage(LoadFileHandle *h, uint32_t address, const uint8_t *bytes, uint32_t count) {
    LiveHandles &live = Live();
    std::lock_guard<std::mutex> lock(live.mutex());
    if (h == nullptr || !live.ContainsLocked(h) || LoadReadState(h) != PRR_LOAD_READY) return 1;
    if (bytes == nullptr || count == 0 || address >= kImageSize || count > kImageSize - address) return 1;
    std::memcpy(h->imageBuffer + address, bytes, count);
    HexParser extent;
    extent.lowest = std::min(h->lowestAddress, address);
    extent.highest = std::max(h->highestAddress, address + count - 1);
    const ImageExtent e = ComputeExtent(extent, h->imageBuffer);
    h->lowestAddress = e.lowest;
    h->highestAddress = e.highest;
    h->imageStart = e.start;
    h->imageEnd = e.end;
    h->imageLength = e.length;
    h->imageChecksum = e.checksum;
    return 0;
}

}  // namespace quill
