// What the operation sequences read from a load-file handle: the image's
// extent and bytes, only once the image is ready and only for a live handle.
#pragma once
#include <cstdint>
#include <mutex>

#include "quillctl.h"

namespace quill {

// 0 and the extent (imageStart, imageLength) for a live handle whose image is
// ready; 1 otherwise. start..start+length may run up to 0xF0 bytes past the
// last address: those bytes read 0xFF.
int LoadImageExtent(const LoadFileHandle *h, uint32_t *start, uint32_t *length);

// The image (indexed by address) under the same conditions, else null.
const uint8_t *LoadImageBytes(const LoadFileHandle *h);

// PRRHexPatch: writes the bytes and recomputes extent and checksum.
int PatchLoadImage(LoadFileHandle *h, uint32_t address, const uint8_t *bytes, uint32_t count);

// The registry of live handles, kept by open and close.
void RegisterLoadFile(const LoadFileHandle *h);
// False when `h` was not live (never opened, or already closed).
bool UnregisterLoadFile(const LoadFileHandle *h);

// Runs body() while `h` cannot be closed, when it is live; else ifNot.
std::mutex &LiveLoadFileLock();
bool LoadFileLiveLocked(const LoadFileHandle *h);
template <typename R, typename F>
R WithLiveLoadFile(const LoadFileHandle *h, R ifNot, F &&body) {
    std::lock_guard<std::mutex> lock(LiveLoadFileLock());
    if (h == nullptr || !LoadFileLiveLocked(h)) return ifNot;
    return body();
}

// readState as the worker publishes it.
int32_t LoadReadState(const LoadFileHandle *h);

}  // namespace quill
