#include "link/posix_ops.h"

#include <unistd.h>

#include <atomic>

namespace quill {
namespace {
const PosixOps kReal = {::read, ::write, ::poll};
std::atomic<const PosixOps *> g_ops{&kReal};
}  // namespace

const PosixOps &Posix() { return *g_ops.load(std::memory_order_acquire); }

void SetPosixOpsForTesting(const PosixOps *ops) { g_ops.store(ops ? ops : &kReal, std::memory_order_release); }

}  // namespace quill
