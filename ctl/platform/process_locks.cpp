#include "platform/process_locks.h"

namespace quill {

std::mutex &FlashRingLock() {
    static std::mutex lock;
    return lock;
}

std::mutex &LoadFileRingLock() {
    static std::mutex lock;
    return lock;
}

void *FlashEventToken() {
    static int token;
    return &token;
}

}  // namespace quill
