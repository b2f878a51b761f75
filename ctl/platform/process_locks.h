// Process-wide locks that stand in for the named semaphores: one shared by all
// flash handles, one shared by all load-file handles.
#pragma once
#include <mutex>

namespace quill {

std::mutex &FlashRingLock();     // "FlshPrrSem"
std::mutex &LoadFileRingLock();  // "HexPrrSem"

// Address handed out as the flash handle's event; nothing waits on it.
void *FlashEventToken();

}  // namespace quill
