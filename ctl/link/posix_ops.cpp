#include "link/posix_ops.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

namespace quill {
namespace {
int RealIoctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }
const PosixOps kReal = {::read, ::write, ::poll, RealIoctl};
std::atomic<const PosixOps *> g_ops{&kReal};
}  // namespace

const PosixOps &Posix() { return *g_ops.load(std::memory_order_acquire); }

int PosixIoctl(int fd, unsigned long request, void *arg) {
    const PosixOps &ops = Posix();
    return (ops.ioctl != nullptr ? ops.ioctl : RealIoctl)(fd, request, arg);
}

void SetPosixOpsForTesting(const PosixOps *ops) { g_ops.store(ops ? ops : &kReal, std::memory_order_release); }

}  // namespace quill
